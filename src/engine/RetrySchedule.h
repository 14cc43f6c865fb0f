// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

namespace orvane {

// When the engine tries again after a stream ended or failed while the user wants it to play.
//
// The first try comes at once (a dropped connection to a healthy server is back before the
// listener notices), the next two after 0.25 s and 0.5 s (a server restarting or a source
// reconnecting needs a moment), then one every 0.5 to 1 s, picked at random. A station that
// comes back after an outage of any length is therefore found within 1 s, and the jitter keeps
// the listeners of a restarted server from arriving in lock-step. No two tries are ever closer
// than 0.25 s, mirrors of a playlist included, so the engine never tries more than 4 times a
// second. A failed try costs the server one refused connection or one short 404 answer.
class RetrySchedule {
  public:
    static constexpr int kMinGapMs = 250;
    static constexpr int kSteadyMinMs = 500;
    static constexpr int kSteadyMaxMs = 1000;

    // The wait before try number `failures` + 1, given `failures` in a row, and a random
    // number in [0, 1) for the jitter.
    static int delayMs(int failures, double random);

    // Delay from now for the next try after one more failure (counts it).
    int nextDelayMs();
    // Delay from now for a try that the schedule does not count (the next mirror of a
    // playlist, a network that came back): only the minimum gap applies.
    int gapDelayMs() const;
    // A try starts now.
    void started() { m_lastTry.start(); }
    // Audio played, or the user pressed play: the next failure counts from the start again.
    void reset() { m_failures = 0; }
    int failures() const { return m_failures; }

  private:
    int m_failures = 0;
    QElapsedTimer m_lastTry;
};

}  // namespace orvane
