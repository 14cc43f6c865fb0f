// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace orvane::test {

// The longest time since its construction that this thread's event loop went without running a
// 10 ms timer (the time since the last tick included): a call that blocks the user-interface
// thread shows up as a gap of about its own length. Time the thread was ready to run but had no
// processor does not count: on a loaded machine that is the other processes' share, not this
// program's doing. The kernel keeps that time per thread (schedstat); where it does not, every
// moment counts.
class UiStallMonitor {
  public:
    UiStallMonitor() {
        m_timer.callOnTimeout([this] {
            m_longest = std::max(m_longest, sinceTick());
            m_sinceTick.restart();
            m_waitedAtTick = waitedNs();
        });
        m_sinceTick.start();
        m_waitedAtTick = waitedNs();
        m_timer.start(10);
    }
    ~UiStallMonitor() {
        if (m_schedstat >= 0) {
            ::close(m_schedstat);
        }
    }

    qint64 longestGapMs() const { return std::max(m_longest, sinceTick()); }

  private:
    qint64 sinceTick() const {
        return m_sinceTick.elapsed() - (waitedNs() - m_waitedAtTick) / 1000000;
    }
    // Nanoseconds this thread has spent waiting for a processor, the second field of its
    // schedstat; 0 where the kernel does not say.
    qint64 waitedNs() const {
        char text[96] = {};
        const ssize_t n = m_schedstat < 0 ? -1 : ::pread(m_schedstat, text, sizeof text - 1, 0);
        long long running = 0;
        long long waiting = 0;
        return n > 0 && std::sscanf(text, "%lld %lld", &running, &waiting) == 2 ? waiting : 0;
    }

    const int m_schedstat = ::open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_waitedAtTick = 0;
    qint64 m_longest = 0;
};

}  // namespace orvane::test
