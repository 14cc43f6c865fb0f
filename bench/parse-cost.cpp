// SPDX-License-Identifier: GPL-3.0-or-later
// What detecting and parsing one hostile or huge playlist body costs: wall time and the peak
// memory the parse adds. One case per process (bench/parse-cost.sh runs them all), so that the
// peak resident size of one case cannot hide another's.
//
//   parse-cost --list      the case names
//   parse-cost CASE        "CASE bytes wall-ms cpu-ms peak-MiB entries format"
#include <sys/resource.h>
#include <time.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QUrl>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "playlists/Playlist.h"

using namespace orvane;

namespace {

constexpr qsizetype kMiB = 1024 * 1024;
constexpr int kEntries = 100000;

QByteArray filled(char c) {
    return QByteArray(kMiB, c);
}

// Repeats a pattern up to exactly 1 MiB, without temporaries larger than the result.
QByteArray tiled(QByteArrayView pattern) {
    QByteArray out;
    out.reserve(kMiB);
    while (out.size() + pattern.size() <= kMiB) {
        out.append(pattern);
    }
    out.append(QByteArray(kMiB - out.size(), ' '));
    return out;
}

QByteArray numbered(QByteArrayView head, const std::function<QByteArray(int)>& entry,
                    QByteArrayView tail) {
    QByteArray out(head.toByteArray());
    out.reserve(kEntries * 48);
    for (int i = 1; i <= kEntries; ++i) {
        out.append(entry(i));
    }
    out.append(tail);
    return out;
}

struct Case {
    const char* name;
    PlaylistFormat format;
    std::function<QByteArray()> body;
};

const std::vector<Case>& cases() {
    using F = PlaylistFormat;
    static const std::vector<Case> all = {
        {"amp.asx", F::Asx, [] { return filled('&'); }},
        {"amp-title.xspf", F::Xspf,
         [] {
             QByteArray b = filled('&');
             b.replace(0, 17, "<playlist><title>");
             return b;
         }},
        {"lt.asx", F::Asx, [] { return filled('<'); }},
        {"tags.asx", F::Asx, [] { return tiled("<a b>"); }},
        {"tags.xspf", F::Xspf, [] { return tiled("<a b>"); }},
        {"cr.m3u", F::M3u, [] { return filled('\r'); }},
        {"cr.pls", F::Pls, [] { return filled('\r'); }},
        {"one-line.m3u", F::M3u,
         [] {
             QByteArray b = filled('a');
             b.replace(0, 9, "http://h/");
             return b;
         }},
        {"one-line.pls", F::Pls,
         [] {
             QByteArray b = filled('a');
             b.replace(0, 15, "[playlist]File1");
             return b;
         }},
        {"100k.pls", F::Pls,
         [] {
             return numbered(
                 "[playlist]\n",
                 [](int i) {
                     const QByteArray n = QByteArray::number(i);
                     return "File" + n + "=http://h/s" + n + "\nTitle" + n + "=S" + n + '\n';
                 },
                 "");
         }},
        {"100k.m3u", F::M3u,
         [] {
             return numbered(
                 "#EXTM3U\n",
                 [](int i) {
                     return "#EXTINF:-1,S" + QByteArray::number(i) + "\nhttp://h/s" +
                            QByteArray::number(i) + '\n';
                 },
                 "");
         }},
        {"100k.asx", F::Asx,
         [] {
             return numbered(
                 "<asx version=\"3.0\">",
                 [](int i) {
                     return "<entry><title>S" + QByteArray::number(i) +
                            "</title><ref href=\"http://h/s" + QByteArray::number(i) +
                            "\"/></entry>";
                 },
                 "</asx>");
         }},
        {"100k.xspf", F::Xspf,
         [] {
             return numbered(
                 "<playlist xmlns=\"http://xspf.org/ns/0/\"><trackList>",
                 [](int i) {
                     return "<track><location>http://h/s" + QByteArray::number(i) +
                            "</location></track>";
                 },
                 "</trackList></playlist>");
         }},
        {"100k.m3u8", F::Hls,
         [] {
             return numbered(
                 "#EXTM3U\n#EXT-X-TARGETDURATION:6\n",
                 [](int i) { return "#EXTINF:6,\nseg" + QByteArray::number(i) + ".aac\n"; }, "");
         }},
    };
    return all;
}

// CPU time of this thread: unlike wall time, it does not grow when the machine is busy.
double cpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

long maxRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s --list | CASE\n", argv[0]);
        return 2;
    }
    if (std::strcmp(argv[1], "--list") == 0) {
        for (const Case& c : cases()) {
            std::printf("%s\n", c.name);
        }
        return 0;
    }
    for (const Case& c : cases()) {
        if (std::strcmp(argv[1], c.name) != 0) {
            continue;
        }
        const QUrl base(QStringLiteral("http://radio.test/list"));
        // Warm up: first use of QUrl, the decoders and the parsers' tables.
        parsePlaylist(c.format, "#EXTM3U\n<a href='x'>&amp;</a>\nhttp://h/x\n", base);
        const QByteArray body = c.body();
        const long before = maxRssKiB();
        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = cpuMs();
        const PlaylistFormat detected = detectPlaylistFormat({}, base, body);
        const PlaylistParse parse = parsePlaylist(c.format, body, base);
        const double ms = clock.nsecsElapsed() / 1e6;
        const double cpu = cpuMs() - cpuBefore;
        const double peakMiB = (maxRssKiB() - before) / 1024.0;
        std::printf("%s %lld %.1f %.1f %.1f %lld %d\n", c.name, static_cast<long long>(body.size()),
                    ms, cpu, peakMiB, static_cast<long long>(parse.entries.size()),
                    static_cast<int>(detected));
        return 0;
    }
    std::fprintf(stderr, "no case %s\n", argv[1]);
    return 2;
}
