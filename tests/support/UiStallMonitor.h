// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QTimer>

namespace orvane::test {

// Measures, from its construction on, how long the event loop of the current thread went without
// running a 10 ms timer. Run the code under test while processing events and check
// longestGapMs(): a call that blocks the user-interface thread shows up as a gap of about its own
// length.
class UiStallMonitor {
  public:
    UiStallMonitor();
    // Longest time between two ticks (or since the last tick, if the loop is blocked right now).
    qint64 longestGapMs() const;

  private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
};

}  // namespace orvane::test
