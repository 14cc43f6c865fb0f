// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine does when a stream ends, fails or goes silent while the user wants it to play.
#include <QLoggingCategory>
#include <algorithm>

#include "engine/GstEngine.h"
#include "engine/NetworkWatch.h"

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
// After the player starts or resumes, its queues fill before it takes bytes at the pace it plays
// them: the byte rate is measured only after this many watch ticks.
constexpr int kRateWarmupTicks = 12;
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
// Stalls, take-overs and breaks logged in full before they are logged about once a minute.
constexpr int kLoggedEvents = 16;

}  // namespace

void GstEngine::mainEnded(const StreamError& error, bool endOfStream) {
    // The player ended on its own address (a file, HLS, ...).
    m_mainActive = false;
    // Its sound has played out (the end) or stops now (a failure halts it).
    m_sound.silence();
    const bool playing = m_phase == Phase::Playing;
    StreamError e = error;
    e.gotData = m_player->hasData();
    if (endOfStream && (!m_wanted || m_player->isFinite())) {
        // The end of a file, or of a stream nobody asked to keep playing.
        m_player->halt();
        m_stalled = false;
        m_phase = Phase::Stopped;
        return;
    }
    m_player->halt();
    endOfRun(e, endOfStream, m_player->uri(), playing);
}

void GstEngine::sourceEnded(const StreamError& error, bool endOfStream) {
    // The connection that fed the player ended; what it brought may still be playing.
    m_mainActive = false;
    StreamError e = error;
    e.gotData = m_source && m_source->hasData();
    const QByteArray uri = m_source ? m_source->uri() : QByteArray();
    if (m_standby) {
        // The second connection is already on its way: it takes over.
        m_failure = e;
        promoteStandby();
        return;
    }
    retire(std::move(m_source));
    const bool playing = m_phase == Phase::Playing;
    if (endOfStream && !m_wanted) {
        // Nobody asked to keep it playing: what was queued plays out, then it stops.
        if (playing && m_feed) {
            m_feed->finish();
        } else {
            m_player->halt();
            m_phase = Phase::Stopped;
        }
        return;
    }
    endOfRun(e, endOfStream, uri, playing);
}

void GstEngine::playerFailed(const StreamError& error) {
    // Nothing decodes what the stream brings, or the audio output broke: the player is made
    // anew on the next try.
    m_player->halt();
    m_sound.silence();
    m_held = false;
    m_drainTimer.stop();
    retire(std::move(m_standby));
    if (m_phase == Phase::Playing) {
        m_phase = Phase::Reconnecting;
    }
    if (m_source && m_mainActive) {
        m_mainActive = false;
        StreamError e = error;
        e.gotData = m_source->hasData();
        const QByteArray uri = m_source->uri();
        retire(std::move(m_source));
        endOfRun(e, false, uri, false);
    }
}

void GstEngine::endOfRun(StreamError e, bool endOfStream, const QByteArray& uri, bool playing) {
    if (!endOfStream && !playing && readAsPlaylist(e)) {
        return;
    }
    if (!endOfStream && isVague(e) && !e.gotData) {
        probe(uri);
        e = withLastKnownCause(e);
    }
    // Data that nothing decodes, from a link that never played, will not decode next time.
    if (m_wanted && !isPermanent(e) && !(isUnknownData(e) && !m_everPlayed)) {
        reconnect(e);
        return;
    }
    // A playlist often lists mirrors: one that cannot be reached makes way for the next.
    if (!playing && m_entry >= 0 && m_entry + 1 < m_entries.size()) {
        if (m_schedule.logged()) {
            qCInfo(lcEngine) << "trying the next stream of the playlist";
        }
        ++m_entry;
        scheduleRetry(m_schedule.gapDelayMs());
        return;
    }
    fail(e);
}

void GstEngine::reconnect(const StreamError& error) {
    m_failure = error;
    m_stalled = false;
    m_bufferPercent = -1;
    if (m_phase == Phase::Playing && m_spliced && !m_held) {
        // Audio plays on from what was queued while the next connection is on its way.
        m_recovering = true;
    } else {
        m_phase = Phase::Reconnecting;
        m_lastPosition = 0.0;
    }
    // The next mirror of a playlist first, then the first one again after a pause; every second
    // round fetches the playlist again, since stations change them.
    if (m_entry >= 0 && m_entry + 1 < m_entries.size()) {
        ++m_entry;
        scheduleRetry(m_schedule.gapDelayMs());
        return;
    }
    if (!m_entries.isEmpty()) {
        m_entry = 0;
        if (++m_round % 2 == 0) {
            m_entries.clear();
            m_entry = -1;
        }
    }
    const int delay = m_schedule.nextDelayMs();
    if (m_schedule.logged()) {
        qCInfo(lcEngine) << "reconnecting in" << delay << "ms, try" << m_schedule.failures() + 1;
    }
    scheduleRetry(delay);
}

void GstEngine::scheduleRetry(int delayMs) {
    cancelRetry();
    if (delayMs > 0) {
        m_retryTimer.start(delayMs);
        return;
    }
    // Queued, not a zero timer: whatever the failed run still had to say is already queued and
    // is read first.
    QMetaObject::invokeMethod(
        &m_context,
        [this, token = m_retryToken] {
            if (token == m_retryToken) {
                onRetry();
            }
        },
        Qt::QueuedConnection);
}

void GstEngine::cancelRetry() {
    ++m_retryToken;
    m_retryTimer.stop();
}

void GstEngine::onRetry() {
    if (m_phase == Phase::Playing) {
        if (m_recovering && !m_mainActive && !m_resolving) {
            attempt();
        } else if (m_stalled && !m_standby) {
            startStandby();
        }
    } else if (m_phase == Phase::Connecting || m_phase == Phase::Reconnecting) {
        attempt();
    }
}

void GstEngine::onWatchTick() {
    if (!m_spliced || !m_feed) {
        m_watchTimer.stop();
        return;
    }
    measureRate();
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

void GstEngine::onWake() {
    if (!m_wanted) {
        return;
    }
    if (m_phase == Phase::Reconnecting && !m_mainActive && !m_resolving) {
        m_schedule.restart();
        scheduleRetry(m_schedule.gapDelayMs());
    } else if (m_phase == Phase::Playing && m_spliced && m_source && !m_standby) {
        // A connection that lived through a suspend or a change of network is most likely
        // dead without knowing it; keep it until a new one delivers.
        m_stalled = true;
        startStandby();
    }
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
    if (!m_feed || !m_feed->starving() || m_held) {
        m_drainPosition = -1;
        return;
    }
    double position = 0.0;
    const bool known = m_player->position(&position);
    if (known && m_drainPosition >= 0 && position <= m_drainPosition) {
        holdForData();
        return;
    }
    m_drainPosition = known ? position : -1;
    // What the player still has: decoded audio not yet heard, and bytes not yet decoded.
    const double rate = byteRate() > 0 ? byteRate() : kDefaultByteRate;
    const qint64 ahead = std::max<qint64>(0, m_player->msAhead()) +
                         qint64(double(m_feed->decoderQueuedBytes()) * 1000.0 / rate);
    m_drainTimer.start(ahead > kNearDrainMs ? int(ahead - kNearDrainMs) : kDrainPollMs);
}

void GstEngine::holdForData() {
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
    m_player->hold(true);
    m_feed->awaitRefill(gsize(rate * m_refillSeconds));
    if (m_recovering) {
        m_phase = Phase::Reconnecting;
        m_lastPosition = 0.0;
    }
}

void GstEngine::renewDecoder() {
    qCInfo(lcEngine) << "the stream changed its format; a new decoder takes it";
    retire(std::move(m_player));
    m_player = makePipeline();
    m_held = false;
    m_ratePosition = -1;
    if (!m_player->startFed(m_feed)) {
        playerFailed(StreamError::plain(QStringLiteral("Cannot decode the new stream")));
    }
}

double GstEngine::byteRate() const {
    return m_rateSeconds >= 5.0 ? m_rateBytes / m_rateSeconds : 0.0;
}

void GstEngine::measureRate() {
    // While the player plays steadily it takes bytes exactly as fast as it plays them.
    double position = 0.0;
    const bool steady = m_phase == Phase::Playing && !m_held && !m_feed->starving() &&
                        m_player->position(&position);
    const quint64 pulled = m_feed->takePulledBytes();
    if (!steady || position < m_ratePosition) {
        m_ratePosition = -1;
        m_rateWarmup = kRateWarmupTicks;
    } else {
        if (m_ratePosition >= 0 && m_rateWarmup == 0) {
            m_rateBytes += double(pulled);
            m_rateSeconds += position - m_ratePosition;
            if (m_rateSeconds > 60.0) {  // the last minute or two counts
                m_rateBytes /= 2;
                m_rateSeconds /= 2;
            }
        }
        m_ratePosition = position;
        m_rateWarmup = std::max(0, m_rateWarmup - 1);
    }
    const double rate = byteRate();
    const qint64 decoded = std::max<qint64>(0, m_player->msAhead());
    const qint64 downstream =
        rate > 0 ? decoded + qint64(double(m_feed->decoderQueuedBytes()) * 1000.0 / rate) : decoded;
    m_feed->poll(rate, downstream);
}

void GstEngine::retire(std::unique_ptr<Pipeline> pipeline) {
    if (!pipeline) {
        return;
    }
    // Its connection goes now; the object itself once its own message handler has returned.
    pipeline->discard();
    m_retired.push_back(std::move(pipeline));
    QMetaObject::invokeMethod(
        &m_context, [this] { m_retired.clear(); }, Qt::QueuedConnection);
}

void GstEngine::retire(std::unique_ptr<Connection> connection) {
    if (!connection) {
        return;
    }
    connection->discard();
    m_retiredConnections.push_back(std::move(connection));
    QMetaObject::invokeMethod(
        &m_context, [this] { m_retiredConnections.clear(); }, Qt::QueuedConnection);
}

StreamError GstEngine::withLastKnownCause(StreamError e) const {
    // Until the check of this failure answers, the cause found for the last one on the same
    // host stands, so the status does not flicker between the two.
    if (isVague(e) && !e.gotData && m_failure.host == e.host) {
        e.connect = m_failure.connect;
        e.certificate = m_failure.certificate;
    }
    return e;
}

void GstEngine::probe(const QByteArray& uri) {
    const QUrl url(QString::fromUtf8(uri));
    if (url.scheme() != QLatin1StringView("http") && url.scheme() != QLatin1StringView("https")) {
        return;
    }
    probeConnection(
        &m_context, url,
        [this, token = ++m_probeToken](StreamError::Connect found, CertificateProblem certificate) {
            if (token != m_probeToken || found == StreamError::Connect::Unknown) {
                return;
            }
            for (StreamError* e : {&m_failure, &m_error}) {
                if (isVague(*e) && !e->gotData) {
                    e->connect = found;
                    e->certificate = certificate;
                }
            }
        });
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

QString GstEngine::reconnectingStatus() const {
    if (!m_failure.isSet()) {
        return QStringLiteral("Reconnecting");
    }
    return QStringLiteral("Reconnecting: ") + inSentence(describe(m_failure));
}

}  // namespace orvane
