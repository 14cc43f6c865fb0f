// SPDX-License-Identifier: GPL-3.0-or-later
// How a live stream goes on across its connections: the watch on a silent server, the second
// connection beside it and its take-over, what the splicer reports, the player holding while
// nothing is left to play, and the stream's byte rate that those decisions are measured in.
#include <QLoggingCategory>
#include <algorithm>

#include "engine/GstEngine.h"

Q_DECLARE_LOGGING_CATEGORY(lcEngine)

namespace orvane {

namespace {

// A live stream that delivers nothing for this long gets a second connection. Long enough that
// the ordinary unevenness of a stream over the internet never triggers it, short enough that a
// fresh connection usually takes over before the audio already buffered (the server's burst of
// several seconds) has run out. The silence is the server's: a connection never waits for the
// player, so a full queue downstream cannot look like one.
constexpr qint64 kStallMs = 3000;
// Once the audio not yet heard is down to this, the position is checked every kDrainPollMs and
// the player holds as soon as it stands still. The last bit of audio before a break waits inside
// the player (the parser's last frame, the output's 100 ms blocks) until more comes, so the
// position, not the amount decoded, tells when the sound has stopped.
constexpr qint64 kNearDrainMs = 200;
constexpr int kDrainPollMs = 20;
// The engine's own looks find a wait for data in time while the player holds at least
// kNearDrainMs, one look's interval and this much to spare (a timer that comes late).
constexpr qint64 kLookSpareMs = 150;
// Until measured, a stream is taken to bring 128 kbit/s.
constexpr double kDefaultByteRate = 16000;
// After running dry, the player plays on once this much audio is queued again: enough to fill
// what waits inside the player, little enough that the break is not noticeably longer than the
// station's. A player that runs dry again soon after is keeping up only just (a stream without
// a burst, a jittery network), so it waits twice as long each time, up to kMaxRefillSeconds,
// rather than stopping every few hundred milliseconds; after kSteadyMs of play it starts over.
constexpr double kRefillSeconds = 0.2;
constexpr double kMaxRefillSeconds = 1.6;
constexpr qint64 kSteadyMs = 10000;
// After the player plays on, its clock is looked at this often for this long: that is when it
// has been seen to jump (see Pipeline::clockRanOff), and the sooner that is noticed, the less
// of what the old decoder played is heard again from the new one.
constexpr int kClockPollMs = 20;
constexpr int kClockWatchMs = 1000;
// Stalls, take-overs and breaks logged in full before they are logged about once a minute.
constexpr int kLoggedEvents = 16;

}  // namespace

void GstEngine::onWatchTick() {
    if (!m_spliced || !m_feed) {
        m_watchTimer.stop();
        return;
    }
    // Every decision of this look rests on one position query: each walks the whole pipeline.
    Pipeline::Look look = m_player->look();
    if (checkClock(look)) {
        look = m_player->look();  // a new decoder
    }
    measureRate(look);
    if (!m_mainActive || !m_source || m_phase != Phase::Playing) {
        return;  // still connecting: the retries look after that
    }
    if (m_source->msSinceData() <= kStallMs) {
        // Data came back on the held connection. A second connection already on its way still
        // takes over once its bytes meet the stream: both carry the same programme.
        m_stalled = false;
        return;
    }
    if (m_stalled || !m_wanted) {
        return;
    }
    if (logEvent()) {
        qCInfo(lcEngine) << "no data for" << m_source->msSinceData()
                         << "ms; opening a second connection";
    }
    m_stalled = true;
    m_failure = {};
    startStandby();
}

void GstEngine::startStandby() {
    if (!m_source || !m_feed) {
        return;
    }
    m_schedule.started();
    m_standby = makeConnection();
    if (!m_standby->start(m_source->uri())) {
        retire(std::move(m_standby));
        scheduleRetry(m_schedule.nextDelayMs());
    }
}

void GstEngine::promoteStandby() {
    if (logEvent()) {
        qCInfo(lcEngine) << "the new connection takes over";
    }
    retire(std::move(m_source));
    m_source = std::move(m_standby);
    m_mainActive = true;
    m_stalled = false;
    m_recovering = false;
    m_warning = {};
}

void GstEngine::onFeedNote(const FeedNote& note) {
    switch (note.kind) {
        case FeedNote::Kind::Resolved:
            onResolvedFeed(note.feed, note.outcome, note.stream);
            break;
        case FeedNote::Kind::Starving:
            // Audio is still downstream; the player stands still only once it has been heard.
            if (m_spliced && !m_held && m_phase == Phase::Playing) {
                checkDrain();
            }
            break;
        case FeedNote::Kind::Refilled:
            m_drainTimer.stop();
            m_drainPosition = -1;
            if (m_held) {
                if (logEvent()) {
                    qCInfo(lcEngine) << "data again; playing on";
                }
                m_held = false;
                m_resumed.start();
                m_player->hold(false);
                m_clockChecks = kClockWatchMs / kClockPollMs;
                m_clockTimer.start(kClockPollMs);
            }
            break;
        case FeedNote::Kind::Drained:
            break;  // the player's end of stream follows
        case FeedNote::Kind::Skipped:
            qCInfo(lcEngine) << "fell" << note.ms << "ms further behind live than a fresh"
                             << "connection; skipping ahead";
            break;
    }
}

void GstEngine::onResolvedFeed(int feed, Splicer::Outcome outcome, int stream) {
    const bool fromStandby = m_standby && m_standby->id() == feed;
    if (!fromStandby && !(m_source && m_source->id() == feed)) {
        return;
    }
    if (outcome == Splicer::Outcome::Rejected) {
        if (fromStandby) {
            qCInfo(lcEngine) << "the new connection meets nothing the old one sends; keeping the "
                                "old one";
            retire(std::move(m_standby));
            m_stalled = false;
        }
        return;
    }
    const bool continues = outcome == Splicer::Outcome::Continues;
    if ((continues || stream > 1) && logEvent()) {
        qCInfo(lcEngine) << "connection" << feed
                         << (continues ? "continues the stream"
                                       : "meets nothing played; a new stream starts");
    }
    if (fromStandby) {
        promoteStandby();
    }
    // Data flows: the next failure counts its tries from the start again.
    m_recovering = false;
    m_failure = {};
    m_schedule.reset();
}

void GstEngine::checkDrain() {
    const quint64 dryRun = m_feed ? m_feed->dryRun() : 0;
    if (dryRun == 0 || m_held) {
        m_drainPosition = -1;
        return;
    }
    const Pipeline::Look look = m_player->look();
    // A position that stood still counts only within one wait for data: between two waits the
    // data that came may not have been heard yet.
    if (look.known && m_drainPosition >= 0 && dryRun == m_drainRun &&
        look.seconds <= m_drainPosition) {
        holdForData(look);
        return;
    }
    m_drainPosition = look.known ? look.seconds : -1;
    m_drainRun = dryRun;
    // What the player still has: decoded audio not yet heard, and bytes not yet decoded.
    const double rate = byteRate() > 0 ? byteRate() : kDefaultByteRate;
    const qint64 ahead = std::max<qint64>(0, look.msAhead) +
                         qint64(double(m_feed->decoderQueuedBytes()) * 1000.0 / rate);
    m_drainTimer.start(ahead > kNearDrainMs ? int(ahead - kNearDrainMs) : kDrainPollMs);
}

void GstEngine::holdForData(const Pipeline::Look& look) {
    // Nothing left to play: the player stands still, so the position stops and what comes
    // next plays when it comes rather than being dropped as late.
    if (logEvent()) {
        qCInfo(lcEngine) << "nothing left to play; waiting for data";
    }
    m_held = true;
    m_drainPosition = -1;
    // The sound has stopped: the display falls now, not when the next measurement would be due.
    m_sound.silence();
    const bool soonAgain = m_resumed.isValid() && m_resumed.elapsed() < kSteadyMs;
    m_refillSeconds = soonAgain ? std::min(2 * m_refillSeconds, kMaxRefillSeconds) : kRefillSeconds;
    const double rate = byteRate() > 0 ? byteRate() : kDefaultByteRate;
    noteHeard(look.msAhead);
    m_player->hold(true);
    m_feed->awaitRefill(gsize(rate * m_refillSeconds));
    // The last position read stays: should a query fail once the same player plays on, it
    // answers where it stood, not 0, which would read as a player that started over.
    if (m_recovering) {
        m_phase = Phase::Reconnecting;
    }
}

void GstEngine::renewDecoder(qint64 from) {
    // The old decoder lets go of its appsrc first, so that it takes none of the bytes meant for
    // the new one.
    retire(std::move(m_player));
    if (from >= 0 && !m_feed->rewind(from)) {
        qCInfo(lcEngine) << "the bytes where the sound stood are gone; the new decoder goes on "
                            "after the old one's";
    }
    m_player = makePipeline();
    m_held = false;
    m_heardAt = -1;
    m_clockTimer.stop();
    m_byteRate.restart();
    if (!m_player->startFed(m_feed)) {
        playerFailed(StreamError::plain(QStringLiteral("Cannot decode the new stream")));
    }
}

void GstEngine::noteHeard(qint64 msAhead) {
    // The sound stands where the decoder's bytes end, less the decoded audio not yet heard.
    const double rate = byteRate() > 0 ? byteRate() : kDefaultByteRate;
    if (msAhead >= 0) {
        m_heardAt = m_feed->decoderPosition() - qint64(double(msAhead) * rate / 1000.0);
    }
}

bool GstEngine::checkClock(const Pipeline::Look& look) {
    if (!m_spliced || !m_feed || m_held || !m_player->isFed() || !m_player->isRunning()) {
        return false;
    }
    if (!look.clockRanOff) {
        noteHeard(look.msAhead);
        return false;
    }
    // The position reads 0 from now on: the window would take it for a stuck player and
    // restart it, and the decoded audio would count as seconds behind live, to be skipped. The
    // sound itself plays on, so a new decoder, fed by the same splicer, goes on from where it
    // stood at the last look.
    const qint64 decoded = m_feed->decoderPosition();
    if (logEvent()) {
        qCInfo(lcEngine) << "the audio output's clock jumped; a new decoder goes on from where "
                            "the sound stood";
    }
    renewDecoder(m_heardAt >= 0 ? std::min(m_heardAt, decoded) : decoded);
    return true;
}

bool GstEngine::restartLive() {
    // A new connection to a live stream first repeats seconds that were already heard (the
    // server's burst), and only the splicer knows which: a fresh one would play them again. So a
    // restart (the window's watchdog after the position stood still, which is also about when a
    // source that was gone comes back) replaces the connections and starts the retries over, but
    // keeps the splicer, and the decoder too while it waits for data.
    if (!m_spliced || !m_feed || !m_player->isFed() || !m_player->isRunning()) {
        return false;
    }
    if (logEvent()) {
        qCInfo(lcEngine) << "starting over with a new connection; the stream goes on from where "
                            "it is";
    }
    ++m_startToken;
    cancelRetry();
    cancelResolve();
    ++m_probeToken;
    retire(std::move(m_source));
    retire(std::move(m_standby));
    m_mainActive = false;
    m_stalled = false;
    m_bufferPercent = -1;
    m_warning = {};
    forgetTries();
    if (!m_held) {
        // The player plays, yet its position stood still long enough for the window to restart
        // it: the decoder is stuck, or its clock is (the position has been seen to read 0 for
        // good after a short hold). A new decoder takes the queued bytes from the splicer once
        // the new connection starts; what the old one held is lost, a second or two at most,
        // where a fresh splicer would play the new connection's whole burst again.
        m_renewDecoder = true;
    }
    // Nothing plays now: the restart reads as one (connecting, at position 0) until audio comes.
    m_phase = Phase::Connecting;
    attempt();
    return true;
}

double GstEngine::byteRate() const {
    return m_byteRate.bytesPerSecond();
}

void GstEngine::measureRate(const Pipeline::Look& look) {
    const bool playing = m_phase == Phase::Playing && !m_held && look.known;
    m_byteRate.look(playing, look.seconds, m_feed->takePulledBytes(), m_feed->dryMs());
    const double rate = byteRate();
    const qint64 decoded = std::max<qint64>(0, look.msAhead);
    const qint64 downstream =
        rate > 0 ? decoded + qint64(double(m_feed->decoderQueuedBytes()) * 1000.0 / rate) : decoded;
    m_feed->poll(rate, downstream);
    // With this much audio downstream, the next look comes before the player can run out.
    const bool wellFed =
        look.msAhead >= 0 && downstream > kNearDrainMs + m_watchTimer.interval() + kLookSpareMs;
    m_feed->setWellFed(wellFed);
    if (wellFed) {
        m_drainTimer.stop();  // the next look comes first
    } else if (playing && !m_drainTimer.isActive()) {
        checkDrain();  // a wait that began while it went untold
    }
}

bool GstEngine::logEvent() {
    // A server that stalls after every burst brings a take-over every few seconds for as long as
    // it does: the first events of a session are logged, then about one a minute.
    if (m_loggedEvents < kLoggedEvents || !m_eventLog.isValid() || m_eventLog.elapsed() >= 60000) {
        ++m_loggedEvents;
        m_eventLog.start();
        return true;
    }
    return false;
}

}  // namespace orvane
