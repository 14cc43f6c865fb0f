// SPDX-License-Identifier: GPL-3.0-or-later
// Time from play() to the first decoded audio, inside the engine: the audio goes into a pipe
// (ORVANE_AUDIO_SINK="fdsink fd=N sync=true"), and a thread notes when its first bytes come out.
// Each run opens the URL afresh (setURL + play, as the window's PLAY does), then calls play()
// again once audio flows (a reopen, as the watchdog does). Prints both medians.
//
//   first-audio URL [runs]
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "engine/GstBackend.h"

namespace {

constexpr int kDeadlineMs = 10000;

// The time of the first bytes out of the pipe since it was armed: -1 unarmed, 0 armed.
std::atomic<qint64> g_firstByteNs{-1};
QElapsedTimer g_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty()      ? -1
           : v.size() % 2 ? v[v.size() / 2]
                          : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Runs the event loop until audio arrives after arming; ms since `sinceNs`, or -1.
double waitAudio(qint64 sinceNs) {
    QElapsedTimer deadline;
    deadline.start();
    while (deadline.elapsed() < kDeadlineMs) {
        QThread::msleep(1);
        QCoreApplication::processEvents();
        const qint64 first = g_firstByteNs;
        if (first > 0) {
            return double(first - sinceNs) / 1e6;
        }
    }
    return -1;
}

void runFor(qint64 ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QThread::msleep(1);
        QCoreApplication::processEvents();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: first-audio URL [runs]\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    int fds[2];
    if (pipe(fds) != 0) {
        return 1;
    }
    qputenv("ORVANE_AUDIO_SINK", QByteArray("fdsink sync=true fd=") + QByteArray::number(fds[1]));
    g_clock.start();
    std::thread reader([fd = fds[0]] {
        char buf[65536];
        while (read(fd, buf, sizeof buf) > 0) {
            qint64 armed = 0;
            g_firstByteNs.compare_exchange_strong(armed, g_clock.nsecsElapsed());
        }
    });
    reader.detach();
    auto engine = orvane::createGstBackend();
    std::vector<double> opens, reopens;
    for (int i = 0; i < runs; ++i) {
        engine->setURL(QString::fromUtf8(argv[1]));
        const qint64 t0 = g_clock.nsecsElapsed();
        g_firstByteNs = 0;
        engine->play();
        const double open = waitAudio(t0);
        // Let it play a little, then reopen the way the watchdog does.
        runFor(1500);
        const qint64 t1 = g_clock.nsecsElapsed();
        engine->play();
        // The old run is closed once play() returns; what it wrote may still be in the pipe.
        QThread::msleep(2);
        g_firstByteNs = 0;
        const double reopen = waitAudio(t1);
        std::printf("run %d: open %.0f ms, reopen %.0f ms\n", i + 1, open, reopen);
        std::fflush(stdout);
        opens.push_back(open);
        reopens.push_back(reopen);
        engine->stop();
        runFor(500);
    }
    std::printf("median: open %.0f ms, reopen %.0f ms (%d runs)\n", median(opens), median(reopens),
                runs);
    return 0;
}
