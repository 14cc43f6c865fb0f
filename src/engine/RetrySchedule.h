// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

namespace orvane {

// When the engine tries again after a stream ended or failed while the user wants it to play.
//
// The first try comes at once (a dropped connection to a healthy server is back before the
// listener notices), the second after 0.25 s, then one every 0.25 to 0.3 s, picked at random,
// for as long as it takes. A dead server answers a try in a few milliseconds (a refused
// connection, a short 404), so trying often costs it next to nothing, while the wait for the
// next try is what the listener hears once the station is back: a station that returns after an
// outage of any length is found within 0.3 s, which leaves room inside a second for the server's
// own start (Icecast lists a returning mount about 0.7 s after its source connects) and for the
// first audio. The 50 ms of jitter still spreads the listeners of a restarted server over a fifth
// of the period rather than letting them arrive in lock-step. No two tries are ever closer than
// 0.25 s, mirrors of a playlist included, so the engine never tries more than 4 times a second.
class RetrySchedule {
  public:
    static constexpr int kMinGapMs = 250;
    static constexpr int kSteadyMinMs = 250;
    static constexpr int kSteadyMaxMs = 300;
    static constexpr int kLoggedTries = 8;
    static constexpr int kLogEveryTries = 240;

    // The wait before try number `failures` + 1, given `failures` in a row, and a random
    // number in [0, 1) for the jitter.
    static int delayMs(int failures, double random);

    // Delay from now for the next try after one more failure (counts it).
    int nextDelayMs();
    // Delay from now for a try that the schedule does not count (the next mirror of a
    // playlist, a network that came back): only the minimum gap applies.
    int gapDelayMs() const;
    // A try starts now.
    void started() {
        m_lastTry.start();
        ++m_tries;
    }
    // A try from scratch (play pressed, the watchdog's restart, the network back): the next
    // failure counts from the start again. The log goes on counting: the outage it reports
    // has not ended.
    void restart() { m_failures = 0; }
    // Audio played, or another station was picked: whatever fails next is news.
    void reset() {
        m_failures = 0;
        m_tries = 0;
    }
    int failures() const { return m_failures; }
    // Whether the current try is worth a line in the log. At four tries a second a day-long
    // outage would write a million lines to the journal: the first tries since audio last
    // played are logged, then about one a minute. Every try counts (a playlist's mirrors, a
    // second connection beside a silent one), and the window's watchdog, which restarts the
    // tries every few seconds while nothing plays, does not start the count over.
    bool logged() const { return m_tries <= kLoggedTries || m_tries % kLogEveryTries == 0; }

  private:
    int m_failures = 0;
    int m_tries = 0;  // since audio last played
    QElapsedTimer m_lastTry;
};

}  // namespace orvane
