// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the real engine the way days of running do, only faster: first the watchdog's restart
// (play() on the stream already set) again and again, then station switches (setURL + play)
// round the given URLs. Every so many operations it samples the process's resident memory, open
// file descriptors and threads, and at the end prints the first and last samples and the growth
// per 1,000 operations, ignoring the first samples while caches fill. Exits 1 when something
// grows beyond noise or the stream does not play at the end.
//
//   orvane_soak [--restarts N] [--switches N] [--interval-ms MS] [--every N] URL [URL...]
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <vector>

#include "engine/GstBackend.h"

using namespace orvane;

namespace {

// Samples before this many operations are left out of the slope: buffers, plugin caches and
// the allocator's pools grow there once.
constexpr int kWarmUpOps = 100;
// What counts as growth rather than noise, over 1,000 operations.
constexpr double kMaxRssKbPer1000 = 2048;
constexpr double kMaxFdsPer1000 = 1;
constexpr double kMaxThreadsPer1000 = 1;
// How long the stream may take to play, at the start and after the last operation.
constexpr int kPlayDeadlineMs = 15000;

struct Sample {
    int op = 0;
    long rssKb = 0;
    int fds = 0;
    int threads = 0;
    QString status;
};

long statusField(const QByteArray& status, const char* name) {
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith(name)) {
            return line.mid(qsizetype(qstrlen(name))).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

Sample sample(int op, const MediaBackend& engine) {
    QFile file(QStringLiteral("/proc/self/status"));
    QByteArray status;
    if (file.open(QIODevice::ReadOnly)) {
        status = file.readAll();
    }
    Sample s;
    s.op = op;
    s.rssKb = statusField(status, "VmRSS:");
    s.threads = int(statusField(status, "Threads:"));
    // Less one for the descriptor the listing itself holds open.
    s.fds = int(QDir(QStringLiteral("/proc/self/fd"))
                    .entryList(QDir::NoDotAndDotDot | QDir::System)
                    .size()) -
            1;
    s.status = engine.status();
    return s;
}

void print(const char* label, const Sample& s) {
    std::printf("%-7s op=%-5d rss_kb=%-7ld fds=%-4d threads=%-3d status=%s\n", label, s.op, s.rssKb,
                s.fds, s.threads, qPrintable(s.status));
    std::fflush(stdout);
}

// Least-squares slope of value over operations, per 1,000 operations.
template <typename F>
double slopePer1000(const std::vector<Sample>& samples, F value) {
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Sample& s : samples) {
        const double x = s.op, y = value(s);
        n += 1;
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double d = n * sxx - sx * sx;
    return d == 0 ? 0 : 1000 * (n * sxy - sx * sy) / d;
}

// Runs the event loop until the engine plays or the deadline passes.
bool waitForPlaying(const MediaBackend& engine) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < kPlayDeadlineMs) {
        if (engine.status() == QLatin1String("Playing") && engine.currentPosition() > 0) {
            return true;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    initGStreamer(&argc, &argv);
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption restartsOpt("restarts", "Watchdog restarts.", "N", "1000");
    const QCommandLineOption switchesOpt("switches", "Station switches.", "N", "1000");
    const QCommandLineOption intervalOpt("interval-ms", "Time between operations.", "MS", "200");
    const QCommandLineOption everyOpt("every", "Operations between samples.", "N", "100");
    parser.addOptions({restartsOpt, switchesOpt, intervalOpt, everyOpt});
    parser.addPositionalArgument("URL", "Streams; switches go round them.");
    parser.addHelpOption();
    parser.process(app);
    const QStringList urls = parser.positionalArguments();
    const int restarts = parser.value(restartsOpt).toInt();
    const int switches = parser.value(switchesOpt).toInt();
    const int every = qMax(1, parser.value(everyOpt).toInt());
    if (urls.isEmpty()) {
        parser.showHelp(2);
    }

    std::unique_ptr<MediaBackend> engine = createGstBackend();
    engine->setURL(urls.first());
    engine->play();
    if (!waitForPlaying(*engine)) {
        std::fprintf(stderr, "soak: %s does not play: %s\n", qPrintable(urls.first()),
                     qPrintable(engine->status()));
        return 1;
    }

    std::vector<Sample> samples;
    samples.push_back(sample(0, *engine));
    print("start", samples.back());
    int op = 0;
    QTimer timer;
    timer.setInterval(parser.value(intervalOpt).toInt());
    QObject::connect(&timer, &QTimer::timeout, [&] {
        // Sampled one interval after an operation, so the status shows how far it got.
        if (op > 0 && op % every == 0) {
            samples.push_back(sample(op, *engine));
            print(op <= restarts ? "restart" : "switch", samples.back());
        }
        if (op >= restarts + switches) {
            timer.stop();
            app.quit();
            return;
        }
        if (op >= restarts) {
            engine->setURL(urls.at((op - restarts + 1) % urls.size()));
        }
        engine->play();
        ++op;
    });
    timer.start();
    app.exec();

    const bool playing = waitForPlaying(*engine);
    std::vector<Sample> steady;
    for (const Sample& s : samples) {
        if (s.op >= kWarmUpOps) {
            steady.push_back(s);
        }
    }
    if (steady.empty()) {
        steady = samples;
    }
    const double rss = slopePer1000(steady, [](const Sample& s) { return double(s.rssKb); });
    const double fds = slopePer1000(steady, [](const Sample& s) { return double(s.fds); });
    const double threads = slopePer1000(steady, [](const Sample& s) { return double(s.threads); });
    std::printf("\nfirst   (op %d): rss_kb=%ld fds=%d threads=%d\n", steady.front().op,
                steady.front().rssKb, steady.front().fds, steady.front().threads);
    std::printf("last    (op %d): rss_kb=%ld fds=%d threads=%d\n", steady.back().op,
                steady.back().rssKb, steady.back().fds, steady.back().threads);
    std::printf("slope per 1000 operations after op %d: rss %+.0f kB, fds %+.2f, threads %+.2f\n",
                kWarmUpOps, rss, fds, threads);
    std::printf("plays after the last operation: %s (%s)\n", playing ? "yes" : "NO",
                qPrintable(engine->status()));
    const bool flat =
        rss <= kMaxRssKbPer1000 && fds <= kMaxFdsPer1000 && threads <= kMaxThreadsPer1000;
    std::printf("verdict: %s\n", flat && playing ? "flat" : "GROWS or stopped");
    engine.reset();
    return flat && playing ? 0 : 1;
}
