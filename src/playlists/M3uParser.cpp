// SPDX-License-Identifier: GPL-3.0-or-later
// Plain and extended M3U, and bare lists of URLs (text/uri-list):
// #EXTM3U
// #EXTINF:-1,Station
// http://host/stream
#include "playlists/PlaylistParser.h"
#include "playlists/PlaylistText.h"

namespace orvane {

namespace {

// "#EXTINF:-1 tvg-name="a, b" group-title="x",Station Name": the title follows the first comma
// outside quotes.
QStringView extinfTitle(QStringView directive) {
    bool quoted = false;
    for (qsizetype i = 0; i < directive.size(); ++i) {
        if (directive[i] == u'"') {
            quoted = !quoted;
        } else if (directive[i] == u',' && !quoted) {
            return directive.sliced(i + 1);
        }
    }
    return {};
}

// Without a header, the first line that is not a comment must be a URL with a scheme we play.
bool isBareUrlList(QStringView head) {
    bool verdict = false;
    bool decided = false;
    forEachLine(head, [&](QStringView raw) {
        const QStringView line = raw.trimmed();
        if (decided || line.isEmpty()) {
            return;
        }
        if (startsWithCi(line, QLatin1StringView("#EXTINF:"))) {
            verdict = decided = true;
            return;
        }
        if (line.startsWith(u'#')) {
            return;
        }
        const qsizetype scheme = schemeLength(line);
        verdict = scheme > 0 && line.sliced(scheme).startsWith(QLatin1StringView("://")) &&
                  isPlayableScheme(line.first(scheme));
        decided = true;
    });
    return verdict;
}

class M3uParser : public PlaylistParser {
  public:
    PlaylistFormat format() const override { return PlaylistFormat::M3u; }

    bool detect(QStringView head, QByteArrayView) const override {
        return startsWithCi(head, QLatin1StringView("#EXTM3U")) || isBareUrlList(head);
    }

  protected:
    // #EXTINF names the next entry only.
    void read(QStringView text, EntryList& entries) const override {
        QStringView pendingTitle;
        bool full = false;
        forEachLine(text, [&](QStringView raw) {
            const QStringView line = raw.trimmed();
            if (full || line.isEmpty()) {
                return;
            }
            if (line.startsWith(u'#')) {
                if (startsWithCi(line, QLatin1StringView("#EXTINF:"))) {
                    pendingTitle = extinfTitle(line.sliced(8));
                } else if (startsWithCi(line, QLatin1StringView("#PLAYLIST:"))) {
                    entries.setPlaylistTitle(line.sliced(10));
                }
                return;
            }
            full = !entries.add(line, pendingTitle);
            pendingTitle = {};
        });
    }
};

// HLS: the first line is #EXTM3U and at least one line carries an #EXT-X- tag. Not a station
// list: playbin plays the URL itself.
class HlsParser : public PlaylistParser {
  public:
    PlaylistFormat format() const override { return PlaylistFormat::Hls; }

    bool detect(QStringView head, QByteArrayView body) const override {
        if (!startsWithCi(head, QLatin1StringView("#EXTM3U"))) {
            return false;
        }
        // The tag is ASCII: the bytes answer without decoding, unless they are UTF-16.
        if (hasUtf16Bom(body)) {
            return hasTagLine(decodePlaylistText(body).toUtf8());
        }
        return hasTagLine(body);
    }

    PlaylistParse parse(QByteArrayView, const QUrl& base) const override {
        PlaylistParse result;
        result.entries.append({base, {}, false});
        return result;
    }

  protected:
    void read(QStringView, EntryList&) const override {}

  private:
    // A line that starts (after blanks) with #EXT-X-, in any case.
    static bool hasTagLine(QByteArrayView body) {
        bool lineStart = true;
        for (qsizetype i = 0; i < body.size(); ++i) {
            const char c = body[i];
            if (c == '\n' || c == '\r') {
                lineStart = true;
            } else if (lineStart && (c == ' ' || c == '\t')) {
                continue;
            } else if (lineStart && body.sliced(i)
                                            .first(std::min<qsizetype>(7, body.size() - i))
                                            .compare("#EXT-X-", Qt::CaseInsensitive) == 0) {
                return true;
            } else {
                lineStart = false;
            }
        }
        return false;
    }
};

}  // namespace

const PlaylistParser& m3uParser() {
    static const M3uParser parser;
    return parser;
}

const PlaylistParser& hlsParser() {
    static const HlsParser parser;
    return parser;
}

}  // namespace orvane
