// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine does when a stream ends or fails while the user wants it to play.
#include <QLoggingCategory>

#include "engine/GstEngine.h"
#include "engine/NetworkWatch.h"

Q_DECLARE_LOGGING_CATEGORY(lcEngine)

namespace orvane {

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

QString GstEngine::reconnectingStatus() const {
    if (!m_failure.isSet()) {
        return QStringLiteral("Reconnecting");
    }
    return QStringLiteral("Reconnecting: ") + inSentence(describe(m_failure));
}

}  // namespace orvane
