// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

namespace orvane::test {

// The longest time since its construction that this thread's event loop went without running a
// 10 ms timer (the time since the last tick included): a call that blocks the user-interface
// thread shows up as a gap of about its own length.
class UiStallMonitor {
  public:
    UiStallMonitor() {
        m_timer.callOnTimeout([this] { m_longest = std::max(m_longest, m_sinceTick.restart()); });
        m_sinceTick.start();
        m_timer.start(10);
    }
    qint64 longestGapMs() const { return std::max(m_longest, m_sinceTick.elapsed()); }

  private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
};

}  // namespace orvane::test
