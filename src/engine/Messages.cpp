// SPDX-License-Identifier: GPL-3.0-or-later
// What the engine reads from its pipelines' buses: failures with their causes, the end of a
// stream, titles, and the moment audio plays.
#include <gst/gst.h>

#include <QLoggingCategory>
#include <QRegularExpression>

#include "engine/GstEngine.h"
#include "engine/GstPtr.h"

Q_DECLARE_LOGGING_CATEGORY(lcEngine)

namespace orvane {

namespace {

QString takeTagString(const GstTagList* tags, const char* tag) {
    gchar* value = nullptr;
    if (!gst_tag_list_get_string(tags, tag, &value)) {
        return {};
    }
    const gst::CharPtr owned{value};
    return QString::fromUtf8(owned.get()).trimmed();
}

}  // namespace

void GstEngine::onMessage(Pipeline& from, GstMessage* msg) {
    switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_TAG:
            handleTags(msg);
            return;
        case GST_MESSAGE_LATENCY:
            gst_bin_recalculate_latency(GST_BIN(from.element()));
            return;
        case GST_MESSAGE_ELEMENT:  // the sound analysis, the only element message relayed
            if (&from == m_player.get()) {
                m_sound.measured(from.element(), msg);
            }
            return;
        case GST_MESSAGE_CLOCK_LOST:
            // The audio device that provided the clock went away: pausing and resuming makes
            // the pipeline pick a new one (a player held for data resumes when data comes).
            gst_element_set_state(from.element(), GST_STATE_PAUSED);
            if (!m_held) {
                gst_element_set_state(from.element(), GST_STATE_PLAYING);
            }
            return;
        default:
            break;
    }
    if (&from == m_player.get()) {
        onPlayerMessage(msg);
    }
}

StreamError GstEngine::readError(GstMessage* msg, bool warning) const {
    GError* rawError = nullptr;
    gchar* rawDebug = nullptr;
    if (warning) {
        gst_message_parse_warning(msg, &rawError, &rawDebug);
    } else {
        gst_message_parse_error(msg, &rawError, &rawDebug);
    }
    const gst::ErrorPtr err{rawError};
    const gst::CharPtr debug{rawDebug};
    StreamError e;
    if (err) {
        e.domain = err->domain;
        e.code = err->code;
        e.message = QString::fromUtf8(err->message);
    }
    e.debug = QString::fromUtf8(debug.get());
    const GstStructure* details = nullptr;
    guint status = 0;
    if (warning) {
        gst_message_parse_warning_details(msg, &details);
    } else {
        gst_message_parse_error_details(msg, &details);
    }
    if (details && gst_structure_get_uint(details, "http-status-code", &status)) {
        e.httpStatus = int(status);
    } else if (e.domain == GST_RESOURCE_ERROR) {
        // Older sources put the status only into the debug text: "Not Found (404), URL: ...".
        static const QRegularExpression inDebug(QStringLiteral("\\((\\d{3})\\), URL:"));
        const auto match = inDebug.match(e.debug);
        if (match.hasMatch()) {
            e.httpStatus = match.captured(1).toInt();
        }
    }
    e.host = QUrl(sourceUrl()).host();
    if (m_schedule.logged()) {
        qCInfo(lcEngine) << (warning ? "warning from" : "error from")
                         << GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)) << ":" << e.message << e.debug;
    }
    return e;
}

// The source's own warnings can name why it stopped (an audio device that is missing says
// nothing about the stream); a standby connection's cannot, and every other warning is only logged.
void GstEngine::noteWarning(GstMessage* msg, bool mayExplain) {
    if (mayExplain && !m_warning.isSet() &&
        g_str_equal(GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)), "source")) {
        const StreamError w = readError(msg, true);
        if (w.domain == GST_RESOURCE_ERROR) {
            m_warning = w;
        }
    } else {
        readError(msg, true);  // for the log
    }
}

void GstEngine::onPlayerMessage(GstMessage* msg) {
    switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_ERROR: {
            StreamError e = readError(msg, false);
            if (m_spliced) {
                // What the connection delivered does not decode (or the audio output failed).
                playerFailed(e);
            } else if (m_mainActive) {
                // The first specific word of the run names the cause; "streaming stopped" is
                // a consequence.
                if (isVague(e) && m_warning.isSet()) {
                    e = m_warning;
                }
                mainEnded(e, false);
            } else if (m_phase == Phase::Failed && isVague(m_error) &&
                       e.domain == GST_RESOURCE_ERROR) {
                // A late word from the source itself; the rest ("not enough data" from the
                // type finder ...) only follows from the failure.
                m_error = e;
            }
            break;
        }
        case GST_MESSAGE_WARNING:
            noteWarning(msg, true);
            break;
        case GST_MESSAGE_EOS:
            if (m_spliced) {
                // The player was told its stream ends: a stream of another format follows, or
                // the last connection ended and what it brought has been played.
                if (m_feed && m_feed->awaitsNewDecoder()) {
                    qCInfo(lcEngine) << "the stream changed its format; a new decoder takes it";
                    renewDecoder();
                } else if (m_phase == Phase::Playing) {
                    m_player->halt();
                    m_phase = Phase::Stopped;
                }
            } else if (m_mainActive) {
                mainEnded({}, true);
            }
            break;
        case GST_MESSAGE_BUFFERING:
            // Shown while connecting only, and never acted on: a young live Icecast mount can
            // sit at 30-40% for a long time, and pausing for it would stall a stream that plays
            // perfectly well. Once audio flows the position tells whether it keeps flowing, and
            // the pipeline stops passing the levels on.
            if (m_phase == Phase::Connecting) {
                gst_message_parse_buffering(msg, &m_bufferPercent);
            }
            break;
        case GST_MESSAGE_STATE_CHANGED: {
            GstState newState = GST_STATE_VOID_PENDING;
            gst_message_parse_state_changed(msg, nullptr, &newState, nullptr);
            if (newState == GST_STATE_PLAYING && m_mainActive &&
                (m_phase == Phase::Connecting || m_phase == Phase::Reconnecting)) {
                qCInfo(lcEngine) << "playing" << m_runClock.elapsed() << "ms after the open";
                m_phase = Phase::Playing;
                m_recovering = false;
                m_bufferPercent = -1;
                m_player->reportBuffering(false);
                m_everPlayed = true;
                m_failure = {};
                m_schedule.reset();
            }
            break;
        }
        default:
            break;
    }
}

void GstEngine::onConnectionMessage(Connection& from, GstMessage* msg) {
    const bool isSource = &from == m_source.get();
    if (!isSource && &from != m_standby.get()) {
        return;
    }
    switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_APPLICATION:
            if (gst_message_has_name(msg, Connection::kNotLive)) {
                // A file or a playlist: the player reads it from its address, as it always does
                // with what is no live stream.
                m_notLive.insert(from.uri());
                if (isSource) {
                    qCInfo(lcEngine) << "not a live stream; playing it from its address";
                    startDirect(from.uri());
                } else {
                    retire(std::move(m_standby));
                }
            }
            break;
        case GST_MESSAGE_ERROR:
        case GST_MESSAGE_EOS: {
            const bool eos = GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
            StreamError e;
            if (!eos) {
                e = readError(msg, false);
            }
            if (isSource && m_mainActive) {
                if (isVague(e) && m_warning.isSet()) {
                    e = m_warning;
                }
                sourceEnded(e, eos);
            } else if (isSource && m_phase == Phase::Failed && isVague(m_error) &&
                       e.domain == GST_RESOURCE_ERROR) {
                m_error = e;  // a late word from the source itself
            } else if (!isSource) {
                e.gotData = from.hasData();
                const QByteArray uri = from.uri();
                retire(std::move(m_standby));
                if (m_stalled && m_wanted) {
                    if (isVague(e) && !e.gotData) {
                        probe(uri);
                        e = withLastKnownCause(e);
                    }
                    m_failure = e;
                    scheduleRetry(m_schedule.nextDelayMs());
                }
            }
            break;
        }
        case GST_MESSAGE_WARNING:
            noteWarning(msg, isSource);
            break;
        default:
            // Titles come with the audio they belong to, from the player.
            break;
    }
}

void GstEngine::handleTags(GstMessage* msg) {
    GstTagList* raw = nullptr;
    gst_message_parse_tag(msg, &raw);
    const gst::TagListPtr tags{raw};
    if (!tags) {
        return;
    }
    // ICY: StreamTitle arrives as the title, icy-name as the organization.
    const QString title = takeTagString(tags.get(), GST_TAG_TITLE);
    if (!title.isEmpty()) {
        m_title = title;
    }
    const QString station = takeTagString(tags.get(), GST_TAG_ORGANIZATION);
    if (!station.isEmpty()) {
        m_station = station;
    }
}

}  // namespace orvane
