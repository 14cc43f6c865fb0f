// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/LiveFeed.h"

#include <gst/app/gstappsrc.h>

#include <QMetaObject>
#include <QObject>
#include <algorithm>
#include <memory>
#include <utility>

namespace orvane {

namespace {

// Frames of MPEG audio (MP3, AAC in ADTS) carry their own headers: after a break the decoder
// finds the next frame and plays on. Any other format begins with headers of its own (Ogg, FLAC,
// Matroska), so a new stream of it gets a fresh decoder.
bool continuesAcrossBreak(const GstCaps* from, const GstCaps* to) {
    return from && to && gst_caps_is_equal(from, to) &&
           gst_structure_has_name(gst_caps_get_structure(to, 0), "audio/mpeg");
}

// A station sends its audio as it is encoded, a packet at a time. Were every packet read the
// moment it came, each would wake the HTTP source's threads, the connection's and the decoder's:
// ten to forty wake-ups a second at 128 kbit/s, which together cost more than decoding the audio.
// After a read that emptied the socket, the next one waits this long, so that it takes what came
// meanwhile in one go. What it adds to the audio's way in is a fraction of what the server's
// burst buffers, and far below the silence that counts as a stall.
constexpr gulong kReadPauseUs = 150000;
// While the player holds more than it can play before the engine's next look (a second or so in
// steady play), reads may wait twice as long. The decoder then waits as long between them, still
// short of what the byte rate's measurement takes for running dry.
constexpr gulong kWellFedReadPauseUs = 300000;

void replaceCaps(GstCaps** slot, const GstCaps* caps) {
    gst_caps_replace(slot, const_cast<GstCaps*>(caps));
}

}  // namespace

LiveFeed::LiveFeed(QObject* context, Notify notify)
    : m_context(context), m_notify(std::move(notify)) {}

LiveFeed::~LiveFeed() {
    detach();
    for (auto* map : {&m_feedCaps, &m_streamCaps}) {
        for (auto& [id, caps] : *map) {
            gst_caps_unref(caps);
        }
    }
    gst_caps_replace(&m_sentCaps, nullptr);
    for (auto& [position, tags] : m_tags) {
        gst_tag_list_unref(tags);
    }
}

qint64 LiveFeed::nowMs() {
    return g_get_monotonic_time() / 1000;
}

void LiveFeed::detach() {
    std::lock_guard guard(m_lock);
    m_notify = nullptr;
    m_context = nullptr;
    if (m_appsrc) {
        gst_object_unref(m_appsrc);
        m_appsrc = nullptr;
    }
}

void LiveFeed::notifyLocked(const FeedNote& note) {
    if (m_context && m_notify) {
        QMetaObject::invokeMethod(
            m_context, [notify = m_notify, note] { notify(note); }, Qt::QueuedConnection);
    }
}

void LiveFeed::open(int feed, const GstCaps* caps) {
    std::lock_guard guard(m_lock);
    if (std::find(m_closed.begin(), m_closed.end(), feed) != m_closed.end()) {
        return;
    }
    GstCaps*& slot = m_feedCaps[feed];
    replaceCaps(&slot, caps);
    m_splicer.open(feed);
}

void LiveFeed::close(int feed) {
    std::lock_guard guard(m_lock);
    m_closed.push_back(feed);
    if (m_closed.size() > 16) {
        m_closed.pop_front();
    }
    m_splicer.close(feed);
    if (const auto it = m_feedCaps.find(feed); it != m_feedCaps.end()) {
        gst_caps_unref(it->second);
        m_feedCaps.erase(it);
    }
    // A connection that waited for this one may decide now.
    m_splicer.poll(nowMs(), 0, 0);
    reportLocked();
    deliverLocked();
}

void LiveFeed::push(int feed, const guint8* data, gsize size) {
    std::lock_guard guard(m_lock);
    m_splicer.push(feed, data, size, nowMs());
    reportLocked();
    deliverLocked();
}

void LiveFeed::tag(const GstTagList* tags) {
    std::lock_guard guard(m_lock);
    // Heard with the bytes that follow it: after what is queued now.
    m_tags.emplace_back(m_splicer.endPosition(), gst_tag_list_copy(tags));
    deliverLocked();
}

void LiveFeed::poll(double bytesPerSecond, qint64 downstreamMs) {
    std::lock_guard guard(m_lock);
    m_splicer.poll(nowMs(), bytesPerSecond, downstreamMs);
    reportLocked();
    deliverLocked();
}

void LiveFeed::reportLocked() {
    for (const Splicer::Resolution& r : m_splicer.takeResolutions()) {
        if (r.outcome == Splicer::Outcome::NewStream) {
            GstCaps*& slot = m_streamCaps[r.stream];
            const auto caps = m_feedCaps.find(r.feed);
            replaceCaps(&slot, caps == m_feedCaps.end() ? nullptr : caps->second);
        }
        notifyLocked({FeedNote::Kind::Resolved, r.feed, r.outcome, r.stream, 0});
    }
    if (const qint64 skipped = m_splicer.takeSkippedMs(); skipped > 0) {
        notifyLocked({FeedNote::Kind::Skipped, 0, {}, 0, skipped});
    }
}

void LiveFeed::attach(GstElement* appsrc) {
    g_object_set(appsrc, "stream-type", GST_APP_STREAM_TYPE_STREAM, "format", GST_FORMAT_BYTES,
                 "max-bytes", kDecoderQueueBytes, "min-percent", 50u, "block", FALSE, nullptr);
    GstAppSrcCallbacks callbacks{};
    callbacks.need_data = [](GstAppSrc* src, guint length, gpointer data) {
        onNeedData(GST_ELEMENT(src), length, data);
    };
    callbacks.enough_data = [](GstAppSrc* src, gpointer data) {
        onEnoughData(GST_ELEMENT(src), data);
    };
    std::lock_guard guard(m_lock);
    // The appsrc may outlive this feed (its pipeline goes down on a thread of its own): its
    // callbacks reach the feed only while someone else holds it.
    gst_app_src_set_callbacks(
        GST_APP_SRC(appsrc), &callbacks, new std::weak_ptr<LiveFeed>(weak_from_this()),
        [](gpointer weak) { delete static_cast<std::weak_ptr<LiveFeed>*>(weak); });
    if (m_appsrc) {
        gst_object_unref(m_appsrc);
    }
    m_appsrc = GST_ELEMENT(gst_object_ref(appsrc));
    m_wanted = false;
    m_sentStream = 0;
    gst_caps_replace(&m_sentCaps, nullptr);
    m_ended = false;
    m_starving = false;
    m_wellFed = false;  // a new decoder starts with nothing downstream
}

void LiveFeed::release(GstElement* appsrc) {
    std::lock_guard guard(m_lock);
    if (appsrc && appsrc == m_appsrc) {
        GstAppSrcCallbacks none{};
        gst_app_src_set_callbacks(GST_APP_SRC(m_appsrc), &none, nullptr, nullptr);
        gst_object_unref(m_appsrc);
        m_appsrc = nullptr;
        m_wanted = false;
    }
}

void LiveFeed::onNeedData(GstElement* appsrc, guint /*length*/, gpointer data) {
    const std::shared_ptr<LiveFeed> feed = static_cast<std::weak_ptr<LiveFeed>*>(data)->lock();
    if (!feed) {
        return;
    }
    std::lock_guard guard(feed->m_lock);
    if (appsrc != feed->m_appsrc) {
        return;
    }
    feed->m_wanted = true;
    feed->deliverLocked();
    if (feed->m_wanted && feed->m_splicer.queuedBytes() == 0 && !feed->m_ended &&
        !feed->m_finished && !feed->m_starving) {
        feed->beginDryRunLocked();
        feed->m_sinceStarving = 0;
        if (!feed->m_wellFed) {
            feed->notifyLocked({FeedNote::Kind::Starving});
        }
    }
}

void LiveFeed::beginDryRunLocked() {
    m_starving = true;
    ++m_dryRuns;
    m_starvingSince = std::chrono::steady_clock::now();
}

void LiveFeed::onEnoughData(GstElement* /*appsrc*/, gpointer data) {
    // Called from inside a push, with the lock held by whoever pushes.
    if (const auto feed = static_cast<std::weak_ptr<LiveFeed>*>(data)->lock()) {
        feed->m_wanted = false;
    }
}

void LiveFeed::deliverLocked() {
    while (m_appsrc && !m_ended && m_wanted) {
        const int stream = m_splicer.nextStream();
        if (stream == 0) {
            if (m_finished) {
                endStreamLocked();
            }
            break;
        }
        if (stream != m_sentStream) {
            const auto found = m_streamCaps.find(stream);
            const GstCaps* caps = found == m_streamCaps.end() ? nullptr : found->second;
            if (m_sentStream != 0 && !continuesAcrossBreak(m_sentCaps, caps)) {
                endStreamLocked();
                break;
            }
            if (m_sentStream == 0 && caps) {
                gst_app_src_set_caps(GST_APP_SRC(m_appsrc), caps);
            }
            // Streams before this one are done with.
            for (auto it = m_streamCaps.begin(); it != m_streamCaps.end() && it->first < stream;) {
                gst_caps_unref(it->second);
                it = m_streamCaps.erase(it);
            }
            m_sentStream = stream;
            replaceCaps(&m_sentCaps, caps);
        }
        const qint64 read = m_splicer.readPosition();
        while (!m_tags.empty() && m_tags.front().first <= read) {
            gst_element_send_event(m_appsrc, gst_event_new_tag(m_tags.front().second));
            m_tags.pop_front();
        }
        gsize max = kPieceBytes;
        if (!m_tags.empty()) {
            max = std::min<gsize>(max, gsize(m_tags.front().first - read));
        }
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, max, nullptr);
        GstMapInfo map;
        gst_buffer_map(buffer, &map, GST_MAP_WRITE);
        const Splicer::Piece piece = m_splicer.pull(map.data, max);
        gst_buffer_unmap(buffer, &map);
        gst_buffer_set_size(buffer, gssize(piece.size));
        if (piece.discont) {
            GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        }
        m_pulled += piece.size;
        m_sinceStarving += piece.size;
        // Takes the buffer; may call onEnoughData right here.
        gst_app_src_push_buffer(GST_APP_SRC(m_appsrc), buffer);
    }
    if (m_starving &&
        m_sinceStarving + m_splicer.queuedBytes() >= std::max<gsize>(1, m_refillBytes)) {
        m_starving = false;
        m_refillBytes = 0;
        if (std::exchange(m_refillAwaited, false)) {
            notifyLocked({FeedNote::Kind::Refilled});
        }
    }
}

void LiveFeed::endStreamLocked() {
    gst_app_src_end_of_stream(GST_APP_SRC(m_appsrc));
    m_ended = true;
    m_starving = false;
    notifyLocked({FeedNote::Kind::Drained});
}

void LiveFeed::finish() {
    std::lock_guard guard(m_lock);
    m_finished = true;
    if (m_splicer.queuedBytes() == 0 && m_appsrc && !m_ended) {
        endStreamLocked();
    }
}

bool LiveFeed::awaitsNewDecoder() {
    std::lock_guard guard(m_lock);
    return m_ended && m_splicer.nextStream() != 0;
}

quint64 LiveFeed::takePulledBytes() {
    std::lock_guard guard(m_lock);
    return std::exchange(m_pulled, 0);
}

quint64 LiveFeed::decoderQueuedBytes() {
    std::lock_guard guard(m_lock);
    return m_appsrc ? gst_app_src_get_current_level_bytes(GST_APP_SRC(m_appsrc)) : 0;
}

quint64 LiveFeed::dryRun() {
    std::lock_guard guard(m_lock);
    return m_starving ? m_dryRuns : 0;
}

qint64 LiveFeed::dryMs() {
    std::lock_guard guard(m_lock);
    if (!m_starving) {
        return -1;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 m_starvingSince)
        .count();
}

void LiveFeed::setWellFed(bool wellFed) {
    std::lock_guard guard(m_lock);
    m_wellFed = wellFed;
}

gulong LiveFeed::readPauseUs() {
    std::lock_guard guard(m_lock);
    return m_wellFed ? kWellFedReadPauseUs : kReadPauseUs;
}

bool LiveFeed::isAligned(int feed) {
    std::lock_guard guard(m_lock);
    return m_splicer.isAligned(feed);
}

qint64 LiveFeed::decoderPosition() {
    std::lock_guard guard(m_lock);
    const qint64 queued =
        m_appsrc ? qint64(gst_app_src_get_current_level_bytes(GST_APP_SRC(m_appsrc))) : 0;
    return m_splicer.readPosition() - queued;
}

bool LiveFeed::rewind(qint64 position) {
    std::lock_guard guard(m_lock);
    return m_splicer.rewind(position);
}

void LiveFeed::awaitRefill(gsize bytes) {
    std::lock_guard guard(m_lock);
    if (!m_starving) {
        beginDryRunLocked();
    }
    m_sinceStarving = 0;
    m_refillAwaited = true;
    m_refillBytes = bytes;
    deliverLocked();
}

}  // namespace orvane
