// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine does when a stream ends, fails or goes silent while the user wants it to play.
#include <QLoggingCategory>

#include "engine/GstEngine.h"
#include "engine/NetworkWatch.h"

Q_DECLARE_LOGGING_CATEGORY(lcEngine)

namespace orvane {

namespace {

// A live stream that delivers nothing for this long gets a second connection. Long enough that
// the ordinary unevenness of a stream over the internet never triggers it, short enough that a
// fresh connection usually takes over before the audio already buffered (the server's burst of
// several seconds) has run out.
constexpr qint64 kStallMs = 3000;

}  // namespace

void GstEngine::mainEnded(const StreamError& error, bool endOfStream) {
    m_mainActive = false;
    // Its sound has played out (the end) or stops now (a failure halts it).
    m_sound.silence();
    const bool nothingPlayed = m_phase != Phase::Playing;
    StreamError e = error;
    e.gotData = m_main->hasData();
    if (endOfStream && (!m_wanted || m_main->isFinite())) {
        // The end of a file, or of a stream nobody asked to keep playing.
        m_main->halt();
        retire(std::move(m_standby));
        m_stalled = false;
        m_phase = Phase::Stopped;
        return;
    }
    if (!endOfStream && nothingPlayed && readAsPlaylist(e)) {
        return;
    }
    if (m_standby) {
        // The second connection is already on its way: it takes over.
        m_failure = e;
        promoteStandby();
        return;
    }
    m_main->halt();
    if (!endOfStream && isVague(e) && !e.gotData) {
        probe(m_main->uri());
        e = withLastKnownCause(e);
    }
    // Data that nothing decodes, from a link that never played, will not decode next time.
    if (m_wanted && !isPermanent(e) && !(isUnknownData(e) && !m_everPlayed)) {
        reconnect(e);
        return;
    }
    // A playlist often lists mirrors: one that cannot be reached makes way for the next.
    if (nothingPlayed && m_entry >= 0 && m_entry + 1 < m_entries.size()) {
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
    m_phase = Phase::Reconnecting;
    m_failure = error;
    m_stalled = false;
    m_bufferPercent = -1;
    m_lastPosition = 0.0;
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
        if (m_stalled && !m_standby) {
            startStandby();
        }
    } else if (m_phase == Phase::Connecting || m_phase == Phase::Reconnecting) {
        attempt();
    }
}

void GstEngine::onWatchTick() {
    if (!m_mainActive || !m_mainLive) {
        m_watchTimer.stop();
        return;
    }
    if (m_phase != Phase::Playing) {
        return;  // still connecting: the retries look after that
    }
    const bool silent = m_main->msSinceData() > kStallMs || m_main->sourceEnded();
    if (!silent) {
        // Data came back on the held connection. A second connection already on its way still
        // takes over when it plays: it starts near live, where the old one has a backlog.
        m_stalled = false;
        return;
    }
    // A file on a web server is no live stream: its download ends, or waits while the queue is
    // full, long before playback does, and a second connection would start it over from the
    // beginning. The watchdog sees its position stop if it ever does. (Asked only of a silent
    // source, so a playing stream costs no query a tick.)
    if (m_stalled || !m_wanted || m_main->isFinite()) {
        return;
    }
    qCInfo(lcEngine) << "no data for" << m_main->msSinceData() << "ms; opening a second connection";
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
    } else if (m_phase == Phase::Playing && !m_standby && !m_main->isFinite()) {
        // A connection that lived through a suspend or a change of network is most likely
        // dead without knowing it; keep it until a new one plays. (A file would start over.)
        m_stalled = true;
        startStandby();
    }
}

void GstEngine::startStandby() {
    m_schedule.started();
    m_standby = makePipeline();
    if (!m_standby->start(m_main->uri())) {
        retire(std::move(m_standby));
        scheduleRetry(m_schedule.nextDelayMs());
    }
}

void GstEngine::onStandbyMessage(GstMessage* msg) {
    switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_ERROR:
        case GST_MESSAGE_EOS: {
            StreamError e;
            if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
                e = readError(msg, false);
            }
            e.gotData = m_standby->hasData();
            const QByteArray uri = m_standby->uri();
            retire(std::move(m_standby));
            if (m_stalled && m_wanted) {
                if (isVague(e) && !e.gotData) {
                    probe(uri);
                    e = withLastKnownCause(e);
                }
                m_failure = e;
                scheduleRetry(m_schedule.nextDelayMs());
            }
            break;
        }
        case GST_MESSAGE_STATE_CHANGED: {
            GstState newState = GST_STATE_VOID_PENDING;
            gst_message_parse_state_changed(msg, nullptr, &newState, nullptr);
            if (newState != GST_STATE_PLAYING) {
                break;
            }
            qCInfo(lcEngine) << "the new connection plays; dropping the old one";
            promoteStandby();
            m_phase = Phase::Playing;
            m_failure = {};
            m_schedule.reset();
            break;
        }
        default:
            break;
    }
}

void GstEngine::promoteStandby() {
    std::unique_ptr<Pipeline> old = std::move(m_main);
    m_main = std::move(m_standby);
    retire(std::move(old));
    m_phase = Phase::Reconnecting;
    m_mainActive = true;
    m_mainLive = true;
    m_stalled = false;
    m_warning = {};
    m_lastPosition = 0.0;
    m_watchTimer.start();
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

QString GstEngine::reconnectingStatus() const {
    if (!m_failure.isSet()) {
        return QStringLiteral("Reconnecting");
    }
    return QStringLiteral("Reconnecting: ") + inSentence(describe(m_failure));
}

}  // namespace orvane
