// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/Pipeline.h"

#include <gst/audio/streamvolume.h>

#include <QLoggingCategory>
#include <QMetaObject>
#include <algorithm>
#include <cstring>
#include <thread>

#include "config/BuildInfo.h"
#include "engine/AudioOutput.h"
#include "engine/BusMessage.h"
#include "engine/LiveFeed.h"
#include "engine/SoundAnalysis.h"
#include "engine/SourceTls.h"

Q_DECLARE_LOGGING_CATEGORY(lcEngine)

namespace orvane {

namespace {

// How long the HTTP source waits on a silent connection before it gives up. The engine starts
// a second connection after a few seconds of silence by itself, so this bounds how long a
// connection that never answers is kept: a request into a black hole, or one left over from a
// stall. A stalled connection is the only one that can still bring what the server kept for it,
// so it is held through any stall that the player plays through rather than skips (its lead of
// a few seconds plus the ten seconds it may fall behind live).
constexpr guint kSourceTimeoutSeconds = 20;

gint64 nowUs() {
    return g_get_monotonic_time();
}

}  // namespace

void configureSource(GstElement* source) {
    GObjectClass* klass = G_OBJECT_GET_CLASS(source);
    // Only HTTP-style sources count their timeout in whole seconds (guint/gint); elements
    // whose "timeout" is a 64-bit nano- or microsecond count (udpsrc, rtspsrc) are left alone.
    if (GParamSpec* pspec = g_object_class_find_property(klass, "timeout")) {
        if (pspec->value_type == G_TYPE_UINT) {
            g_object_set(source, "timeout", Pipeline::sourceTimeoutSeconds(), nullptr);
        } else if (pspec->value_type == G_TYPE_INT) {
            g_object_set(source, "timeout", gint(Pipeline::sourceTimeoutSeconds()), nullptr);
        }
    }
    if (GParamSpec* pspec = g_object_class_find_property(klass, "user-agent");
        pspec && pspec->value_type == G_TYPE_STRING) {
        g_object_set(source, "user-agent", build::kUserAgent, nullptr);
    }
    // ICY metadata (station name, live titles) only flows when the source asks for it. It
    // is on by default; say so in case a future default changes. is-live stays off: a live
    // source would stamp the server's initial burst of several seconds with arrival times,
    // and the sink would throw most of it away as late.
    if (GParamSpec* pspec = g_object_class_find_property(klass, "iradio-mode");
        pspec && pspec->value_type == G_TYPE_BOOLEAN) {
        g_object_set(source, "iradio-mode", TRUE, nullptr);
    }
    setUpSourceTls(source);
}

// Written by the streaming threads, read by the engine.
struct Pipeline::DataWatch {
    std::atomic<gint64> lastDataUs{0};  // 0: nothing yet in this run
    std::atomic<bool> ended{false};
    // Where the decoded audio ends, in stream time; -1 before the first.
    std::atomic<gint64> decodedEndNs{-1};
    GWeakRef source;  // the run's source element, for asking it about the whole download
    std::weak_ptr<LiveFeed> feed;  // set before the run starts, when it is fed

    DataWatch() { g_weak_ref_init(&source, nullptr); }
    ~DataWatch() { g_weak_ref_clear(&source); }

    static GstPadProbeReturn onData(GstPad* /*pad*/, GstPadProbeInfo* info, gpointer data) {
        auto* watch = static_cast<std::shared_ptr<DataWatch>*>(data)->get();
        if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
            if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) == GST_EVENT_EOS) {
                watch->ended = true;
            }
        } else {
            watch->lastDataUs = nowUs();
        }
        return GST_PAD_PROBE_OK;
    }

    static void release(gpointer data) { delete static_cast<std::shared_ptr<DataWatch>*>(data); }

    // playbin's own source-setup signal; runs on whichever thread builds the source.
    static void onSourceSetup(GstElement* /*playbin*/, GstElement* source, gpointer data) {
        auto* watch = static_cast<std::shared_ptr<DataWatch>*>(data)->get();
        g_weak_ref_set(&watch->source, source);
        if (const std::shared_ptr<LiveFeed> feed = watch->feed.lock()) {
            feed->attach(source);
            return;
        }
        configureSource(source);
        if (gst::PadPtr pad{gst_element_get_static_pad(source, "src")}) {
            gst_pad_add_probe(
                pad.get(),
                GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST |
                                GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
                &DataWatch::onData,
                new std::shared_ptr<DataWatch>(*static_cast<std::shared_ptr<DataWatch>*>(data)),
                &DataWatch::release);
        }
    }

    // Where the decoded audio ends: what the decoder has handed on and nobody has heard yet.
    static GstPadProbeReturn onDecoded(GstPad* /*pad*/, GstPadProbeInfo* info, gpointer data) {
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (buffer && GST_BUFFER_PTS_IS_VALID(buffer)) {
            const GstClockTime duration =
                GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : 0;
            static_cast<std::shared_ptr<DataWatch>*>(data)->get()->decodedEndNs =
                gint64(GST_BUFFER_PTS(buffer) + duration);
        }
        return GST_PAD_PROBE_OK;
    }

    // playbin's element-setup: every element of the run, the audio decoder among them.
    static void onElementSetup(GstElement* /*playbin*/, GstElement* element, gpointer data) {
        GstElementFactory* factory = gst_element_get_factory(element);
        const gchar* klass =
            factory ? gst_element_factory_get_metadata(factory, GST_ELEMENT_METADATA_KLASS)
                    : nullptr;
        if (!klass || !std::strstr(klass, "Decoder") || !std::strstr(klass, "Audio")) {
            return;
        }
        if (const gst::PadPtr pad{gst_element_get_static_pad(element, "src")}) {
            gst_pad_add_probe(
                pad.get(), GST_PAD_PROBE_TYPE_BUFFER, &DataWatch::onDecoded,
                new std::shared_ptr<DataWatch>(*static_cast<std::shared_ptr<DataWatch>*>(data)),
                &DataWatch::release);
        }
    }
};

GstBusSyncReply BusRelay::onBusMessage(GstBus* /*bus*/, GstMessage* msg, gpointer data) {
    // A sync handler that answers GST_BUS_DROP owns the bus' reference to the message and must
    // release it, on every path. Each message holds the element that posted it, so a message
    // left unreleased keeps a whole run's source chain alive: a leak on every reconnect. A
    // queued MessageRef takes a reference of its own.
    const gst::MessagePtr busRef(msg);
    auto* relay = static_cast<BusRelay*>(data);
    switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_BUFFERING:
            if (!relay->buffering.load(std::memory_order_relaxed)) {
                return GST_BUS_DROP;
            }
            break;
        case GST_MESSAGE_ELEMENT:
            if (!isSoundAnalysis(msg) || !relay->analysis.load(std::memory_order_relaxed)) {
                return GST_BUS_DROP;
            }
            break;
        case GST_MESSAGE_ERROR:
        case GST_MESSAGE_WARNING:
        case GST_MESSAGE_EOS:
        case GST_MESSAGE_APPLICATION:
        case GST_MESSAGE_TAG:
        case GST_MESSAGE_CLOCK_LOST:
        case GST_MESSAGE_LATENCY:
        case GST_MESSAGE_STATE_CHANGED:
            break;
        default:
            return GST_BUS_DROP;
    }
    std::lock_guard guard(relay->lock);
    // Every element reports its state changes; only the pipeline's own matter here.
    if (!relay->deliver || (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_STATE_CHANGED &&
                            GST_MESSAGE_SRC(msg) != relay->playbin)) {
        return GST_BUS_DROP;
    }
    QMetaObject::invokeMethod(
        relay->context,
        [deliver = relay->deliver, ref = MessageRef(msg), generation = relay->generation] {
            deliver(ref.get(), generation);
        },
        Qt::QueuedConnection);
    return GST_BUS_DROP;
}

guint Pipeline::sourceTimeoutSeconds() {
    // Tests of long stalls shorten it; what ships is the constant.
    static const guint seconds = [] {
        bool ok = false;
        const int value = qEnvironmentVariableIntValue("ORVANE_TEST_SOURCE_TIMEOUT", &ok);
        return ok && value > 0 ? guint(value) : kSourceTimeoutSeconds;
    }();
    return seconds;
}

Pipeline::Pipeline(Handler handler, const QByteArray& sink)
    : m_watch(std::make_shared<DataWatch>()), m_handler(std::move(handler)) {
    m_playbin.reset(gst_element_factory_make("playbin", nullptr));
    if (!m_playbin) {
        qCWarning(lcEngine) << "GStreamer's playbin element is missing";
        return;
    }
    gst_object_ref_sink(m_playbin.get());
    // A radio player: audio only, and volume applied in the pipeline so that the perceptual
    // curve is what the listener hears, whatever the sound server does with its own.
    gst_util_set_object_arg(G_OBJECT(m_playbin.get()), "flags", "audio+soft-volume");

    if (GstElement* output = createAudioSink(sink)) {
        g_object_set(m_playbin.get(), "audio-sink", output, nullptr);
    }
    // The window's display of the sound. playbin puts its audio filter ahead of the soft volume,
    // so what is measured does not shrink when the volume is turned down.
    if (SoundAnalysis analysis = createSoundAnalysis(); analysis.filter) {
        g_object_set(m_playbin.get(), "audio-filter", analysis.filter, nullptr);
        m_analysing = std::move(analysis.active);
    }

    m_sourceSetupId = g_signal_connect_data(
        m_playbin.get(), "source-setup", G_CALLBACK(&DataWatch::onSourceSetup),
        new std::shared_ptr<DataWatch>(m_watch),
        [](gpointer data, GClosure*) { DataWatch::release(data); }, GConnectFlags(0));
    m_elementSetupId = g_signal_connect_data(
        m_playbin.get(), "element-setup", G_CALLBACK(&DataWatch::onElementSetup),
        new std::shared_ptr<DataWatch>(m_watch),
        [](gpointer data, GClosure*) { DataWatch::release(data); }, GConnectFlags(0));

    // Messages are taken on the posting thread and queued to this one. A bus watch would need
    // the GLib main loop, which Qt only runs with its GLib event dispatcher.
    m_relay = new BusRelay;
    m_relay->deliver = [this](GstMessage* msg, quint64 generation) {
        if (generation == m_generation) {  // else from a run that has since been closed
            m_handler(*this, msg);
        }
    };
    m_relay->context = &m_context;
    m_relay->playbin = GST_OBJECT(m_playbin.get());
    m_bus.reset(gst_element_get_bus(m_playbin.get()));
    gst_bus_set_sync_handler(m_bus.get(), &BusRelay::onBusMessage, m_relay,
                             [](gpointer relay) { delete static_cast<BusRelay*>(relay); });
}

Pipeline::~Pipeline() {
    discard();
    // m_context goes last and takes any still-queued messages (and their references) with it.
}

void Pipeline::discard() {
    if (!m_playbin) {
        return;
    }
    {
        std::lock_guard guard(m_relay->lock);
        m_relay->deliver = nullptr;
        m_relay->context = nullptr;
        m_generation = ++m_relay->generation;  // what is already queued is dropped too
    }
    g_signal_handler_disconnect(m_playbin.get(), m_sourceSetupId);
    g_signal_handler_disconnect(m_playbin.get(), m_elementSetupId);
    if (const std::shared_ptr<LiveFeed> feed = m_watch->feed.lock()) {
        const gst::ElementPtr source{static_cast<GstElement*>(g_weak_ref_get(&m_watch->source))};
        feed->release(source.get());
    }
    // The way down waits for every streaming thread, and GStreamer 1.22's HTTP source can sit in
    // a read whose cancellation libsoup never delivers until the server or TCP gives up on the
    // connection: half a minute, or many on a dead network. The user-interface thread must not
    // wait for that, so a thread of its own takes the playbin down and lets go of it.
    std::thread([playbin = m_playbin.release(), bus = m_bus.release()] {
        gst_element_set_state(playbin, GST_STATE_NULL);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);  // frees the relay
        gst_object_unref(bus);
        gst_object_unref(playbin);
    }).detach();
    m_relay = nullptr;
}

void Pipeline::reportBuffering(bool on) {
    if (m_relay) {
        m_relay->buffering = on;
    }
}

void Pipeline::analyseSound(bool on) {
    if (m_analysing) {
        *m_analysing = on;
    }
    if (m_relay) {
        m_relay->analysis = on;
    }
}

bool Pipeline::start(const QByteArray& uri, bool buffering) {
    close();
    m_uri = uri;
    m_fed = false;
    m_watch->feed.reset();
    reportBuffering(buffering);
    g_object_set(m_playbin.get(), "uri", uri.constData(), nullptr);
    m_running = true;
    return gst_element_set_state(m_playbin.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

bool Pipeline::startFed(std::shared_ptr<LiveFeed> feed) {
    close();
    m_uri.clear();
    m_fed = true;
    m_watch->feed = feed;
    reportBuffering(false);
    g_object_set(m_playbin.get(), "uri", "appsrc://", nullptr);
    m_running = true;
    return gst_element_set_state(m_playbin.get(), GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

void Pipeline::hold(bool held) {
    if (m_playbin) {
        gst_element_set_state(m_playbin.get(), held ? GST_STATE_PAUSED : GST_STATE_PLAYING);
    }
}

Pipeline::Look Pipeline::look() const {
    Look look;
    look.clockRanOff = clockRanOff();
    gint64 position = 0;
    if (!gst_element_query_position(m_playbin.get(), GST_FORMAT_TIME, &position)) {
        return look;
    }
    if (position >= 0) {
        look.known = true;
        look.seconds = double(position) / double(GST_SECOND);
    }
    if (const gint64 end = m_watch->decodedEndNs; end >= 0 && !look.clockRanOff) {
        look.msAhead = std::max<gint64>(0, end - position) / GST_MSECOND;
    }
    return look;
}

bool Pipeline::clockRanOff() const {
    // PulseAudio's sink provides the clock, and right after a resume from a pause it has been
    // seen to read a time decades off, once. The clock never runs backwards, so it stays there:
    // the running time stays negative for good while the sound plays on.
    GstState state = GST_STATE_VOID_PENDING;
    if (!m_playbin ||
        gst_element_get_state(m_playbin.get(), &state, nullptr, 0) != GST_STATE_CHANGE_SUCCESS ||
        state != GST_STATE_PLAYING) {
        return false;
    }
    const gst::ClockPtr clock{gst_element_get_clock(m_playbin.get())};
    if (!clock) {
        return false;
    }
    const GstClockTime now = gst_clock_get_time(clock.get());
    return GST_CLOCK_TIME_IS_VALID(now) &&
           GST_CLOCK_DIFF(gst_element_get_base_time(m_playbin.get()), now) < 0;
}

void Pipeline::halt() {
    m_running = false;
    if (m_playbin) {
        // A failed playbin sits in READY with PLAYING pending; NULL releases the connection.
        gst_element_set_state(m_playbin.get(), GST_STATE_NULL);
    }
}

void Pipeline::close() {
    m_running = false;
    if (!m_playbin) {
        return;
    }
    gst_element_set_state(m_playbin.get(), GST_STATE_NULL);
    // Every streaming thread has stopped now; whatever they queued belongs to the old run.
    {
        std::lock_guard guard(m_relay->lock);
        m_generation = ++m_relay->generation;
    }
    m_watch->lastDataUs = 0;
    m_watch->ended = false;
    m_watch->decodedEndNs = -1;
    g_weak_ref_set(&m_watch->source, nullptr);
}

bool Pipeline::position(double* seconds) const {
    gint64 ns = 0;
    if (!gst_element_query_position(m_playbin.get(), GST_FORMAT_TIME, &ns) || ns < 0) {
        return false;
    }
    *seconds = double(ns) / double(GST_SECOND);
    return true;
}

bool Pipeline::isFinite() const {
    gint64 length = 0;
    if (gst_element_query_duration(m_playbin.get(), GST_FORMAT_TIME, &length) && length > 0) {
        return true;
    }
    // A file on a web server announces its size; a live stream has none.
    const gst::ElementPtr source{static_cast<GstElement*>(g_weak_ref_get(&m_watch->source))};
    return source && gst_element_query_duration(source.get(), GST_FORMAT_BYTES, &length) &&
           length > 0;
}

void Pipeline::setVolume(double volume) {
    if (m_playbin) {
        gst_stream_volume_set_volume(GST_STREAM_VOLUME(m_playbin.get()),
                                     GST_STREAM_VOLUME_FORMAT_CUBIC, volume);
    }
}

qint64 Pipeline::msSinceData() const {
    const gint64 last = m_watch->lastDataUs;
    return last == 0 ? -1 : (nowUs() - last) / 1000;
}

bool Pipeline::sourceEnded() const {
    return m_watch->ended;
}

}  // namespace orvane
