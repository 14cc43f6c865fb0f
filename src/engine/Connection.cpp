// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/Connection.h"

#include <gst/app/gstappsink.h>
#include <gst/base/gstbasesrc.h>

#include <QLoggingCategory>
#include <QMetaObject>
#include <atomic>
#include <thread>

#include "engine/BusMessage.h"
#include "engine/LiveFeed.h"
#include "engine/Pipeline.h"

Q_DECLARE_LOGGING_CATEGORY(lcEngine)

namespace orvane {

namespace {

// What a live stream of compressed audio can be, as typefinding names it: the decoder reads
// these from a run of bytes. A playlist (HLS and others fetch their segments themselves) is
// left to the decoding pipeline, which reads it from its address.
bool isLiveAudio(const GstCaps* caps) {
    if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) {
        return false;
    }
    const gchar* name = gst_structure_get_name(gst_caps_get_structure(caps, 0));
    static const char* const playlists[] = {"audio/x-scpls", "audio/x-mpegurl", "audio/mpegurl",
                                            "audio/x-ms-asx"};
    for (const char* playlist : playlists) {
        if (g_str_equal(name, playlist)) {
            return false;
        }
    }
    static const char* const containers[] = {
        "application/ogg",  "application/x-id3", "video/mpegts",     "video/x-flv",
        "video/x-matroska", "video/webm",        "application/x-ape"};
    for (const char* container : containers) {
        if (g_str_equal(name, container)) {
            return true;
        }
    }
    return g_str_has_prefix(name, "audio/");
}

void postNotLive(GstElement* from) {
    gst_element_post_message(
        from, gst_message_new_application(GST_OBJECT(from),
                                          gst_structure_new_empty(Connection::kNotLive)));
}

}  // namespace

// Shared with the streaming thread, which may outlive the connection object by a little.
struct Connection::State {
    int id = 0;
    std::shared_ptr<LiveFeed> feed;
    std::atomic<gint64> lastDataUs{0};  // 0: nothing yet
    std::atomic<bool> notLive{false};
    bool opened = false;   // streaming thread only
    bool drained = false;  // streaming thread only: the last read took all the socket had
    GstElement* sink = nullptr;

    using Ref = std::shared_ptr<State>;
    static Ref& from(gpointer data) { return *static_cast<Ref*>(data); }
    static void release(gpointer data) { delete static_cast<Ref*>(data); }

    // What arrives from the server, before anything is taken out of it.
    static GstPadProbeReturn onSourceData(GstPad* pad, GstPadProbeInfo* info, gpointer data) {
        State& state = *from(data);
        if (!(GST_PAD_PROBE_INFO_TYPE(info) &
              (GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST))) {
            return GST_PAD_PROBE_OK;
        }
        // A read smaller than the source's block size took everything the socket held.
        const auto* buffer = GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER
                                 ? GST_PAD_PROBE_INFO_BUFFER(info)
                                 : nullptr;
        const gst::ElementPtr source{gst_pad_get_parent_element(pad)};
        state.drained = buffer && source && GST_IS_BASE_SRC(source.get()) &&
                        gst_buffer_get_size(const_cast<GstBuffer*>(buffer)) <
                            gst_base_src_get_blocksize(GST_BASE_SRC(source.get()));
        if (state.lastDataUs.exchange(g_get_monotonic_time()) == 0) {
            // A file on a web server announces its length; a live stream has none. Files play
            // straight from their address, at the decoder's pace.
            gint64 length = 0;
            if (source && gst_element_query_duration(source.get(), GST_FORMAT_BYTES, &length) &&
                length > 0) {
                state.notLive = true;
                postNotLive(source.get());
            }
        }
        return state.notLive ? GST_PAD_PROBE_DROP : GST_PAD_PROBE_OK;
    }

    // Titles and the station's name, from the ICY metadata and the HTTP headers.
    static GstPadProbeReturn onSinkEvent(GstPad* /*pad*/, GstPadProbeInfo* info, gpointer data) {
        State& state = *from(data);
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_TAG && !state.notLive) {
            GstTagList* tags = nullptr;
            gst_event_parse_tag(event, &tags);
            state.feed->tag(tags);
        }
        return GST_PAD_PROBE_OK;
    }

    static void onHaveType(GstElement* typefind, guint /*probability*/, GstCaps* caps,
                           gpointer data) {
        State& state = *from(data);
        // ICY metadata inside the stream: icydemux takes it out, and names what is left.
        if (gst_structure_has_name(gst_caps_get_structure(caps, 0), "application/x-icy")) {
            GstElement* icy = gst_element_factory_make("icydemux", nullptr);
            const gst::ElementPtr bin{GST_ELEMENT(gst_element_get_parent(typefind))};
            if (icy && bin) {
                g_signal_connect(icy, "pad-added", G_CALLBACK(&State::onIcyPad), state.sink);
                gst_bin_add(GST_BIN(bin.get()), icy);
                gst_element_link(typefind, icy);
                gst_element_sync_state_with_parent(icy);
                return;
            }
        }
        gst_element_link(typefind, state.sink);
    }

    static void onIcyPad(GstElement* /*icy*/, GstPad* pad, gpointer sink) {
        const gst::PadPtr sinkPad{gst_element_get_static_pad(GST_ELEMENT(sink), "sink")};
        gst_pad_link(pad, sinkPad.get());
    }

    static GstFlowReturn onSample(GstAppSink* sink, gpointer data) {
        State& state = *from(data);
        GstSample* sample = gst_app_sink_pull_sample(sink);
        if (!sample) {
            return GST_FLOW_FLUSHING;
        }
        if (!state.opened && !state.notLive) {
            const GstCaps* caps = gst_sample_get_caps(sample);
            if (isLiveAudio(caps)) {
                state.feed->open(state.id, caps);
                state.opened = true;
            } else {
                state.notLive = true;
                postNotLive(GST_ELEMENT(sink));
            }
        }
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        if (state.opened && buffer && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            state.feed->push(state.id, map.data, map.size);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
        if (state.drained && state.opened) {
            state.drained = false;
            g_usleep(state.feed->readPauseUs());
        }
        return GST_FLOW_OK;
    }
};

Connection::Connection(int id, std::shared_ptr<LiveFeed> feed, Handler handler)
    : m_id(id), m_state(std::make_shared<State>()), m_handler(std::move(handler)) {
    m_state->id = id;
    m_state->feed = std::move(feed);
}

Connection::~Connection() {
    discard();
}

bool Connection::start(const QByteArray& uri) {
    m_uri = uri;
    GError* error = nullptr;
    // Named like playbin's own source, so that its warnings read the same.
    GstElement* source = gst_element_make_from_uri(GST_URI_SRC, uri.constData(), "source", &error);
    g_clear_error(&error);
    GstElement* typefind = gst_element_factory_make("typefind", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    m_pipeline.reset(gst_pipeline_new(nullptr));
    gst_object_ref_sink(m_pipeline.get());
    for (GstElement* element : {source, typefind, sink}) {
        if (element) {
            gst_bin_add(GST_BIN(m_pipeline.get()), element);
        }
    }
    if (!source || !typefind || !sink || !gst_element_link(source, typefind)) {
        qCWarning(lcEngine) << "cannot make a connection to" << uri;
        return false;
    }
    configureSource(source);
    // Left to itself the HTTP source answers a timeout with a request for the rest of the
    // stream from where it stopped; a live server sends whatever it has now instead, and the
    // bytes of one connection would no longer be one run. A new connection is the engine's
    // business, and the splicer's.
    if (GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(source), "retries");
        pspec && pspec->value_type == G_TYPE_INT) {
        g_object_set(source, "retries", 0, nullptr);
    }
    m_state->sink = sink;
    // The bytes are taken as they come, with no clock and no preroll: a live stream paces
    // itself, and a connection that waited for anything would look like a stalled server.
    g_object_set(sink, "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, nullptr);
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = &State::onSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, new State::Ref(m_state),
                               &State::release);
    g_signal_connect_data(
        typefind, "have-type", G_CALLBACK(&State::onHaveType), new State::Ref(m_state),
        [](gpointer data, GClosure*) { State::release(data); }, GConnectFlags(0));
    if (const gst::PadPtr pad{gst_element_get_static_pad(source, "src")}) {
        gst_pad_add_probe(
            pad.get(), GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
            &State::onSourceData, new State::Ref(m_state), &State::release);
    }
    if (const gst::PadPtr pad{gst_element_get_static_pad(sink, "sink")}) {
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, &State::onSinkEvent,
                          new State::Ref(m_state), &State::release);
    }

    m_relay = new BusRelay;
    m_relay->deliver = [this](GstMessage* msg, quint64 generation) {
        if (generation == m_generation) {  // else posted before the connection was discarded
            m_handler(*this, msg);
        }
    };
    m_relay->context = &m_context;
    m_relay->playbin = GST_OBJECT(m_pipeline.get());
    m_bus.reset(gst_element_get_bus(m_pipeline.get()));
    gst_bus_set_sync_handler(m_bus.get(), &BusRelay::onBusMessage, m_relay,
                             [](gpointer relay) { delete static_cast<BusRelay*>(relay); });
    return gst_element_set_state(m_pipeline.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

void Connection::discard() {
    m_state->feed->close(m_id);
    if (!m_pipeline) {
        return;
    }
    if (m_relay) {
        std::lock_guard guard(m_relay->lock);
        m_relay->deliver = nullptr;
        m_relay->context = nullptr;
        m_generation = ++m_relay->generation;
    }
    // As Pipeline::discard: the HTTP source may sit in a read that nothing cancels for long.
    std::thread([pipeline = m_pipeline.release(), bus = m_bus.release()] {
        gst_element_set_state(pipeline, GST_STATE_NULL);
        if (bus) {
            gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);  // frees the relay
            gst_object_unref(bus);
        }
        gst_object_unref(pipeline);
    }).detach();
    m_relay = nullptr;
}

qint64 Connection::msSinceData() const {
    const gint64 last = m_state->lastDataUs;
    return last == 0 ? -1 : (g_get_monotonic_time() - last) / 1000;
}

}  // namespace orvane
