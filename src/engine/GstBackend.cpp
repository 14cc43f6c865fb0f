// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/GstBackend.h"

#include <gst/audio/streamvolume.h>
#include <gst/gst.h>

#include <QByteArray>
#include <QLoggingCategory>
#include <QMetaObject>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <memory>
#include <mutex>

#include "config/BuildInfo.h"
#include "engine/AudioOutput.h"
#include "engine/DecoderPolicy.h"
#include "engine/MediaNames.h"
#include "playlists/Playlist.h"
#include "playlists/PlaylistResolver.h"
#include "playlists/UrlRules.h"

Q_LOGGING_CATEGORY(lcEngine, "orvane.engine", QtInfoMsg)

namespace orvane {

namespace {

constexpr int kDefaultVolume = 50;

// How long the HTTP source waits on a silent connection before it gives up. When souphttpsrc
// gives up it retries with a Range request, which a live Icecast mount refuses, so the stream
// fails for good. The window's watchdog reconnects a stream that made no progress for ~15 s;
// this is twice that, so a stall is always the watchdog's to handle, while a dead connection
// in a player without a running watchdog still ends in a visible error within a minute.
constexpr guint kSourceTimeoutSeconds = 30;

// One reference to a GstMessage. Copies take their own reference, so the message can travel
// in a queued Qt call and is released whether the call runs or is dropped with its receiver.
class MessageRef {
  public:
    explicit MessageRef(GstMessage* msg) : m_msg(gst_message_ref(msg)) {}
    MessageRef(const MessageRef& other) : m_msg(gst_message_ref(other.m_msg)) {}
    MessageRef& operator=(const MessageRef&) = delete;
    ~MessageRef() { gst_message_unref(m_msg); }
    GstMessage* get() const { return m_msg; }

  private:
    GstMessage* m_msg;
};

class GstBackend;

// The part of the engine that GStreamer's own threads see. The engine clears `engine` under
// the lock before it goes away, so a message posted during destruction is dropped, and bumps
// `generation` whenever it throws a pipeline run away, so messages of an old run that are
// still queued are ignored when they arrive. Owned by the bus (freed by its destroy notify).
struct BusRelay {
    std::mutex lock;
    GstBackend* engine = nullptr;
    QObject* context = nullptr;
    GstObject* playbin = nullptr;
    quint64 generation = 0;
};

QByteArray toUri(const QString& url) {
    const QByteArray text = url.trimmed().toUtf8();
    if (gst_uri_is_valid(text.constData())) {
        return text;
    }
    // A local path typed without file://.
    gchar* uri = gst_filename_to_uri(text.constData(), nullptr);
    if (!uri) {
        return text;
    }
    QByteArray result(uri);
    g_free(uri);
    return result;
}

// The errors decodebin gives when it cannot tell what the data is or has nothing to decode it
// with. GStreamer has no typefinder for PLS or ASX text ("could not determine type"), finds
// M3U and bare URL lists as text/uri-list and XSPF as application/xml or text/plain, and has no
// element for any of them (a missing plug-in, or "this appears to be a text file"). So these
// are what a station link that is really a playlist looks like from inside the pipeline.
bool isUnknownDataError(const GError* err) {
    if (!err) {
        return false;
    }
    if (err->domain == GST_STREAM_ERROR) {
        return err->code == GST_STREAM_ERROR_TYPE_NOT_FOUND ||
               err->code == GST_STREAM_ERROR_WRONG_TYPE ||
               err->code == GST_STREAM_ERROR_CODEC_NOT_FOUND;
    }
    return err->domain == GST_CORE_ERROR && err->code == GST_CORE_ERROR_MISSING_PLUGIN;
}

QString takeTagString(const GstTagList* tags, const char* tag) {
    gchar* value = nullptr;
    if (!gst_tag_list_get_string(tags, tag, &value)) {
        return {};
    }
    QString result = QString::fromUtf8(value).trimmed();
    g_free(value);
    return result;
}

// playbin's own source-setup signal; runs on whichever thread builds the source.
void onSourceSetup(GstElement* /*playbin*/, GstElement* source, gpointer /*data*/) {
    GObjectClass* klass = G_OBJECT_GET_CLASS(source);
    // Only HTTP-style sources count their timeout in whole seconds (guint/gint); elements whose
    // "timeout" is a 64-bit nano- or microsecond count (udpsrc, rtspsrc) are left alone.
    if (GParamSpec* pspec = g_object_class_find_property(klass, "timeout")) {
        if (pspec->value_type == G_TYPE_UINT) {
            g_object_set(source, "timeout", kSourceTimeoutSeconds, nullptr);
        } else if (pspec->value_type == G_TYPE_INT) {
            g_object_set(source, "timeout", gint(kSourceTimeoutSeconds), nullptr);
        }
    }
    if (GParamSpec* pspec = g_object_class_find_property(klass, "user-agent");
        pspec && pspec->value_type == G_TYPE_STRING) {
        g_object_set(source, "user-agent", build::kUserAgent, nullptr);
    }
    // ICY metadata (station name, live titles) only flows when the source asks for it. It is
    // on by default; say so in case a future default changes. is-live stays off: a live source
    // would stamp the server's initial burst of several seconds with arrival times, and the
    // sink would throw most of it away as late.
    if (GParamSpec* pspec = g_object_class_find_property(klass, "iradio-mode");
        pspec && pspec->value_type == G_TYPE_BOOLEAN) {
        g_object_set(source, "iradio-mode", TRUE, nullptr);
    }
}

class GstBackend final : public MediaBackend {
  public:
    GstBackend();
    ~GstBackend() override;
    GstBackend(const GstBackend&) = delete;
    GstBackend& operator=(const GstBackend&) = delete;

    void setURL(const QString& url) override;
    QString URL() const override { return m_url; }
    void play() override;
    void stop() override;
    double currentPosition() const override;
    int volume() const override { return m_volume; }
    void setVolume(int volume) override;
    QString status() const override;
    QString mediaName() const override;
    QString mediaSourceURL() const override { return sourceUrl(); }

  private:
    enum class Phase { Idle, Connecting, Playing, Stopped, Failed };

    static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* msg, gpointer data);
    void handleMessage(GstMessage* msg, quint64 generation);
    void handleTags(GstMessage* msg);
    void handleError(GstMessage* msg);

    void open();
    void startPipeline(const QByteArray& uri);
    void startResolve(const QUrl& url, bool knownPlaylist);
    void cancelResolve();
    void onResolved(const PlaylistResult& result);
    void playEntry(int index);
    void forgetEntry();
    QString sourceUrl() const;
    void closeRun();
    void fail(const QString& reason, bool provisional);
    void applyVolume();

    // Target of every queued call; destroying it with the engine drops calls still queued.
    QObject m_context;
    GstElement* m_playbin = nullptr;
    GstBus* m_bus = nullptr;
    BusRelay* m_relay = nullptr;
    gulong m_sourceSetupId = 0;
    quint64 m_generation = 0;

    QString m_url;
    bool m_openQueued = false;

    // Made on first use: a player that only ever opens plain streams needs no network manager.
    std::unique_ptr<PlaylistResolver> m_resolver;
    bool m_resolving = false;
    // The resolve was started because the pipeline found text where it expected audio.
    bool m_probing = false;
    // What the pipeline said then; shown if the text turns out not to be a playlist either.
    QString m_probeReason;
    // The pipeline plays the URL exactly as the user wrote it, so a playlist behind it can only
    // show up as undecodable data.
    bool m_directOpen = false;
    // The streams of the resolved playlist, tried in order within one attempt, and the one
    // being played. The entry stays while the same playlist is fetched again, so a reconnect
    // does not flicker the name and address through the playlist's own.
    QList<PlaylistEntry> m_entries;
    int m_entry = -1;
    QUrl m_entryUrl;
    QString m_entryTitle;
    Phase m_phase = Phase::Idle;
    int m_bufferPercent = -1;
    QString m_error;
    bool m_errorProvisional = false;
    QString m_title;
    QString m_station;
    int m_volume = kDefaultVolume;
    mutable double m_lastPosition = 0.0;
};

GstBackend::GstBackend() {
    if (!gst_is_initialized()) {
        gst_init(nullptr, nullptr);
    }
    m_playbin = gst_element_factory_make("playbin", nullptr);
    if (!m_playbin) {
        qCWarning(lcEngine) << "GStreamer's playbin element is missing";
        return;
    }
    gst_object_ref_sink(m_playbin);
    // A radio player: audio only, and volume applied in the pipeline so that the perceptual
    // curve below is what the listener hears, whatever the sound server does with its own.
    gst_util_set_object_arg(G_OBJECT(m_playbin), "flags", "audio+soft-volume");

    if (GstElement* sink = createAudioSink()) {
        g_object_set(m_playbin, "audio-sink", sink, nullptr);
    }

    m_sourceSetupId =
        g_signal_connect(m_playbin, "source-setup", G_CALLBACK(onSourceSetup), nullptr);

    // Messages are taken on the posting thread and queued to this one. A bus watch would need
    // the GLib main loop, which Qt only runs with its GLib event dispatcher.
    m_relay = new BusRelay;
    m_relay->engine = this;
    m_relay->context = &m_context;
    m_relay->playbin = GST_OBJECT(m_playbin);
    m_bus = gst_element_get_bus(m_playbin);
    gst_bus_set_sync_handler(m_bus, &GstBackend::onBusMessage, m_relay,
                             [](gpointer relay) { delete static_cast<BusRelay*>(relay); });
    applyVolume();
}

GstBackend::~GstBackend() {
    // No resolve may finish into an engine that is half gone.
    m_resolver.reset();
    if (!m_playbin) {
        return;
    }
    {
        std::lock_guard guard(m_relay->lock);
        m_relay->engine = nullptr;
        m_relay->context = nullptr;
    }
    gst_element_set_state(m_playbin, GST_STATE_NULL);
    g_signal_handler_disconnect(m_playbin, m_sourceSetupId);
    gst_bus_set_sync_handler(m_bus, nullptr, nullptr, nullptr);  // frees the relay
    gst_object_unref(m_bus);
    gst_object_unref(m_playbin);
    // m_context goes last and takes any still-queued messages (and their references) with it.
}

GstBusSyncReply GstBackend::onBusMessage(GstBus* /*bus*/, GstMessage* msg, gpointer data) {
    // A sync handler that answers GST_BUS_DROP owns the bus' reference to the message and must
    // release it, on every path. Each message holds the element that posted it, so a message
    // left unreleased keeps a whole run's source chain alive: a leak on every reconnect. A
    // queued MessageRef takes a reference of its own.
    const std::unique_ptr<GstMessage, decltype(&gst_message_unref)> busRef(msg, &gst_message_unref);
    auto* relay = static_cast<BusRelay*>(data);
    switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_ERROR:
        case GST_MESSAGE_WARNING:
        case GST_MESSAGE_EOS:
        case GST_MESSAGE_TAG:
        case GST_MESSAGE_BUFFERING:
        case GST_MESSAGE_CLOCK_LOST:
        case GST_MESSAGE_LATENCY:
        case GST_MESSAGE_STATE_CHANGED:
            break;
        default:
            return GST_BUS_DROP;
    }
    std::lock_guard guard(relay->lock);
    // Every element reports its state changes; only the pipeline's own matter here.
    if (!relay->engine || (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_STATE_CHANGED &&
                           GST_MESSAGE_SRC(msg) != relay->playbin)) {
        return GST_BUS_DROP;
    }
    GstBackend* engine = relay->engine;
    const quint64 generation = relay->generation;
    QMetaObject::invokeMethod(
        relay->context,
        [engine, ref = MessageRef(msg), generation] {
            engine->handleMessage(ref.get(), generation);
        },
        Qt::QueuedConnection);
    return GST_BUS_DROP;
}

void GstBackend::handleMessage(GstMessage* msg, quint64 generation) {
    if (generation != m_generation) {
        return;  // from a run that has since been closed
    }
    switch (GST_MESSAGE_TYPE(msg)) {
        case GST_MESSAGE_ERROR:
            handleError(msg);
            break;
        case GST_MESSAGE_WARNING: {
            GError* err = nullptr;
            gst_message_parse_warning(msg, &err, nullptr);
            qCInfo(lcEngine) << "warning from" << GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)) << ":"
                             << (err ? err->message : "");
            g_clear_error(&err);
            break;
        }
        case GST_MESSAGE_EOS:
            // The server ended the stream (its source went away) or a file ran out. Release
            // everything; the watchdog or the user decides whether to reopen.
            if (m_phase == Phase::Connecting || m_phase == Phase::Playing) {
                m_phase = Phase::Stopped;
                gst_element_set_state(m_playbin, GST_STATE_NULL);
            }
            break;
        case GST_MESSAGE_TAG:
            handleTags(msg);
            break;
        case GST_MESSAGE_BUFFERING:
            // Shown while connecting only, and never acted on: a young live Icecast mount can
            // sit at 30-40% for a long time, and pausing for it would stall a stream that plays
            // perfectly well. Once audio flows the position tells whether it keeps flowing.
            if (m_phase == Phase::Connecting) {
                gint percent = 0;
                gst_message_parse_buffering(msg, &percent);
                m_bufferPercent = percent;
            }
            break;
        case GST_MESSAGE_STATE_CHANGED: {
            GstState newState = GST_STATE_VOID_PENDING;
            gst_message_parse_state_changed(msg, nullptr, &newState, nullptr);
            if (newState == GST_STATE_PLAYING && m_phase == Phase::Connecting) {
                m_phase = Phase::Playing;
                m_bufferPercent = -1;
            }
            break;
        }
        case GST_MESSAGE_CLOCK_LOST:
            // The audio device that provided the clock went away: pausing and resuming makes
            // the pipeline pick a new one.
            if (m_phase == Phase::Connecting || m_phase == Phase::Playing) {
                gst_element_set_state(m_playbin, GST_STATE_PAUSED);
                gst_element_set_state(m_playbin, GST_STATE_PLAYING);
            }
            break;
        case GST_MESSAGE_LATENCY:
            gst_bin_recalculate_latency(GST_BIN(m_playbin));
            break;
        default:
            break;
    }
}

void GstBackend::handleTags(GstMessage* msg) {
    GstTagList* tags = nullptr;
    gst_message_parse_tag(msg, &tags);
    if (!tags) {
        return;
    }
    // ICY: StreamTitle arrives as the title, icy-name as the organization.
    const QString title = takeTagString(tags, GST_TAG_TITLE);
    if (!title.isEmpty()) {
        m_title = title;
    }
    const QString station = takeTagString(tags, GST_TAG_ORGANIZATION);
    if (!station.isEmpty()) {
        m_station = station;
    }
    gst_tag_list_unref(tags);
}

void GstBackend::handleError(GstMessage* msg) {
    GError* err = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(msg, &err, &debug);
    const QString reason = err ? QString::fromUtf8(err->message) : QStringLiteral("unknown error");
    const bool unknownData = isUnknownDataError(err);
    qCInfo(lcEngine) << "error from" << GST_OBJECT_NAME(GST_MESSAGE_SRC(msg)) << ":" << reason
                     << (debug ? debug : "");
    g_clear_error(&err);
    g_free(debug);

    const bool nothingPlayedYet =
        m_phase == Phase::Connecting || (m_phase == Phase::Failed && m_errorProvisional);
    // A playlist often lists mirrors: one that cannot be reached makes way for the next. Once
    // audio has played, a failure is the stream's and the watchdog's business.
    if (nothingPlayedYet && m_entry >= 0 && m_entry + 1 < m_entries.size()) {
        qCInfo(lcEngine) << "trying the next stream of the playlist";
        playEntry(m_entry + 1);
        return;
    }
    // Many stations link a playlist under a name like /listen or /stream. The pipeline gives up
    // on it as undecodable; read it as a playlist once before calling it an error.
    if (nothingPlayedYet && m_directOpen && unknownData) {
        m_directOpen = false;
        const QUrl url = toMediaUrl(m_url);
        if (isFetchable(url)) {
            closeRun();
            m_phase = Phase::Connecting;
            m_error.clear();
            m_errorProvisional = false;
            m_probeReason = reason;
            startResolve(url, true);
            return;
        }
    }

    // The first error of a run names the cause; the ones that follow it ("Internal data stream
    // error" ...) are consequences. A reason we had to make up ourselves gives way to a real one.
    if (m_phase == Phase::Connecting || m_phase == Phase::Playing ||
        (m_phase == Phase::Failed && m_errorProvisional)) {
        fail(reason, false);
    }
}

void GstBackend::fail(const QString& reason, bool provisional) {
    m_phase = Phase::Failed;
    m_error = reason;
    m_errorProvisional = provisional;
    m_bufferPercent = -1;
    // A failed playbin sits in READY with PLAYING pending; drop it to NULL to release the
    // connection. The run (generation) stays, so its remaining messages can still be read.
    gst_element_set_state(m_playbin, GST_STATE_NULL);
}

void GstBackend::closeRun() {
    if (m_playbin) {
        gst_element_set_state(m_playbin, GST_STATE_NULL);
        // Every streaming thread has stopped now; whatever they queued belongs to the old run.
        std::lock_guard guard(m_relay->lock);
        m_generation = ++m_relay->generation;
    }
    m_bufferPercent = -1;
    m_lastPosition = 0.0;
}

void GstBackend::open() {
    m_openQueued = false;
    cancelResolve();
    closeRun();
    m_error.clear();
    m_errorProvisional = false;
    m_directOpen = false;
    m_entries.clear();
    m_entry = -1;
    m_phase = Phase::Connecting;
    if (!m_playbin) {
        m_phase = Phase::Failed;
        m_error = QStringLiteral("GStreamer's playbin element is not installed");
        return;
    }
    // A playlist is fetched afresh on every open: stations move their streams between servers,
    // and the watchdog's reconnect should find them where they are now.
    const QUrl url = toMediaUrl(m_url);
    if (looksLikePlaylistUrl(url)) {
        startResolve(url, false);
        return;
    }
    // Anything else goes straight to the pipeline: one connection for a plain stream, no probe.
    forgetEntry();
    m_directOpen = true;
    startPipeline(toUri(m_url));
}

void GstBackend::startPipeline(const QByteArray& uri) {
    g_object_set(m_playbin, "uri", uri.constData(), nullptr);
    applyVolume();
    // Returns at once: connecting and prerolling happen on GStreamer's threads.
    if (gst_element_set_state(m_playbin, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        // The bus normally carries the real reason and replaces this one when it arrives.
        fail(QStringLiteral("cannot open %1").arg(QString::fromUtf8(uri)), true);
    }
}

void GstBackend::startResolve(const QUrl& url, bool knownPlaylist) {
    if (!m_resolver) {
        m_resolver = std::make_unique<PlaylistResolver>();
        QObject::connect(m_resolver.get(), &PlaylistResolver::finished, &m_context,
                         [this](const PlaylistResult& result) { onResolved(result); });
    }
    m_resolving = true;
    m_probing = knownPlaylist;
    if (knownPlaylist) {
        m_resolver->resolveKnownPlaylist(url);
    } else {
        m_resolver->resolve(url);
    }
}

void GstBackend::cancelResolve() {
    if (m_resolver) {
        m_resolver->cancel();
    }
    m_resolving = false;
    m_probing = false;
}

void GstBackend::onResolved(const PlaylistResult& result) {
    if (!m_resolving) {
        return;
    }
    const bool probing = m_probing;
    m_resolving = false;
    m_probing = false;
    switch (result.kind) {
        case PlaylistResult::Kind::Streams:
            m_entries = result.streams;
            playEntry(0);
            break;
        case PlaylistResult::Kind::PlayAsIs:
            // HLS (or media behind a playlist's name): playbin's demuxer does the rest. The URL
            // as written is then what plays.
            forgetEntry();
            startPipeline(result.url.toString(QUrl::FullyEncoded).toUtf8());
            break;
        case PlaylistResult::Kind::Error:
            forgetEntry();
            // Undecodable data that is no playlist either: what the pipeline said about it is
            // the better reason.
            fail(probing && result.errorKind == PlaylistError::NotPlaylist ? m_probeReason
                                                                           : result.error,
                 false);
            break;
    }
}

void GstBackend::playEntry(int index) {
    closeRun();
    m_phase = Phase::Connecting;
    m_error.clear();
    m_errorProvisional = false;
    m_directOpen = false;
    m_entry = index;
    m_entryUrl = m_entries.at(index).url;
    m_entryTitle = m_entries.at(index).title;
    startPipeline(m_entryUrl.toString(QUrl::FullyEncoded).toUtf8());
}

void GstBackend::forgetEntry() {
    m_entries.clear();
    m_entry = -1;
    m_entryUrl.clear();
    m_entryTitle.clear();
}

QString GstBackend::sourceUrl() const {
    return m_entryUrl.isEmpty() ? m_url : m_entryUrl.toString();
}

void GstBackend::setURL(const QString& url) {
    m_url = url;
    m_title.clear();
    m_station.clear();
    m_openQueued = false;
    cancelResolve();
    forgetEntry();
    m_directOpen = false;
    closeRun();
    m_error.clear();
    if (url.isEmpty()) {
        m_phase = Phase::Idle;
        return;
    }
    // Auto-start, but from the event loop: a play() right after this call then finds the open
    // still queued and does not start a second connection.
    m_phase = Phase::Connecting;
    m_openQueued = true;
    QTimer::singleShot(0, &m_context, [this] {
        if (m_openQueued) {
            open();
        }
    });
}

void GstBackend::play() {
    // A playlist being fetched is an open in progress too; it ends by itself within the
    // download time limit.
    if (m_url.isEmpty() || m_openQueued || m_resolving) {
        return;
    }
    // Always from scratch, even when the pipeline believes it is playing: this is how a stalled,
    // dropped or failed stream gets a new connection.
    open();
}

void GstBackend::stop() {
    if (m_url.isEmpty()) {
        return;
    }
    m_openQueued = false;
    cancelResolve();
    m_directOpen = false;
    closeRun();
    m_error.clear();
    m_phase = Phase::Stopped;
}

double GstBackend::currentPosition() const {
    if (m_phase != Phase::Playing) {
        return 0.0;
    }
    gint64 ns = 0;
    if (gst_element_query_position(m_playbin, GST_FORMAT_TIME, &ns) && ns >= 0) {
        m_lastPosition = double(ns) / double(GST_SECOND);
    }
    // A query that fails now and then (during a state change) repeats the last answer rather
    // than dropping to 0, which would look like a restart.
    return m_lastPosition;
}

void GstBackend::setVolume(int volume) {
    m_volume = std::clamp(volume, 0, 100);
    applyVolume();
}

void GstBackend::applyVolume() {
    if (!m_playbin) {
        return;
    }
    // The slider is perceptual: 50 should sound about half as loud, not be half the amplitude.
    gst_stream_volume_set_volume(GST_STREAM_VOLUME(m_playbin), GST_STREAM_VOLUME_FORMAT_CUBIC,
                                 m_volume / 100.0);
}

QString GstBackend::status() const {
    switch (m_phase) {
        case Phase::Idle:
            return {};
        case Phase::Connecting:
            if (m_bufferPercent >= 0 && m_bufferPercent < 100) {
                return QStringLiteral("Buffering %1%").arg(m_bufferPercent);
            }
            return QStringLiteral("Connecting");
        case Phase::Playing:
            return QStringLiteral("Playing");
        case Phase::Stopped:
            return QStringLiteral("Stopped");
        case Phase::Failed:
            return QStringLiteral("Error: ") + m_error;
    }
    return {};
}

QString GstBackend::mediaName() const {
    return displayName(m_title, m_station, m_entryTitle, sourceUrl());
}

}  // namespace

void initGStreamer(int* argc, char*** argv) {
    if (!gst_is_initialized()) {
        gst_init(argc, argv);
    }
    initDecoderPolicy();
}

std::unique_ptr<MediaBackend> createGstBackend() {
    return std::make_unique<GstBackend>();
}

}  // namespace orvane
