// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/GstBackend.h"

#include <gst/gst.h>

#include <QByteArray>
#include <QLoggingCategory>
#include <algorithm>
#include <utility>

#include "engine/DecoderPolicy.h"
#include "engine/GstEngine.h"
#include "engine/GstPtr.h"
#include "engine/MediaNames.h"
#include "engine/NetworkWatch.h"
#include "playlists/UrlRules.h"

Q_LOGGING_CATEGORY(lcEngine, "orvane.engine", QtInfoMsg)

namespace orvane {

namespace {

// How often the engine looks at a playing stream's data flow.
constexpr int kWatchIntervalMs = 250;

QByteArray toUri(const QString& url) {
    const QByteArray text = url.trimmed().toUtf8();
    if (gst_uri_is_valid(text.constData())) {
        return text;
    }
    // A local path typed without file://.
    const gst::CharPtr uri{gst_filename_to_uri(text.constData(), nullptr)};
    return uri ? QByteArray(uri.get()) : text;
}

// A stream whose silence means trouble: HTTP, and not HLS, whose demuxer fetches the segments
// itself while the source sits idle after the playlist.
bool isLiveNetworkUri(const QByteArray& uri) {
    const QUrl url(QString::fromUtf8(uri));
    return (url.scheme() == QLatin1StringView("http") ||
            url.scheme() == QLatin1StringView("https")) &&
           !url.path().endsWith(QLatin1StringView(".m3u8"), Qt::CaseInsensitive);
}

}  // namespace

GstEngine::GstEngine() {
    initGStreamer(nullptr, nullptr);
    m_player = makePipeline();
    m_retryTimer.setSingleShot(true);
    QObject::connect(&m_retryTimer, &QTimer::timeout, &m_context, [this] { onRetry(); });
    m_watchTimer.setInterval(kWatchIntervalMs);
    QObject::connect(&m_watchTimer, &QTimer::timeout, &m_context, [this] { onWatchTick(); });
    m_drainTimer.setSingleShot(true);
    m_drainTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_drainTimer, &QTimer::timeout, &m_context, [this] { checkDrain(); });
    m_clockTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_clockTimer, &QTimer::timeout, &m_context, [this] {
        if (--m_clockChecks <= 0) {
            m_clockTimer.stop();
        }
        checkClock(m_player->look());
    });
    QObject::connect(WakeWatcher::instance(), &WakeWatcher::wokeUp, &m_context,
                     [this] { onWake(); });
}

GstEngine::~GstEngine() {
    // No resolve may finish into an engine that is half gone.
    m_resolver.reset();
    // The pipelines go before m_context, which takes any still-queued calls with it.
    if (m_feed) {
        m_feed->detach();
    }
    m_standby.reset();
    m_source.reset();
    m_player.reset();
    m_retired.clear();
    m_retiredConnections.clear();
}

std::unique_ptr<Connection> GstEngine::makeConnection() {
    return std::make_unique<Connection>(
        ++m_lastConnectionId, m_feed,
        [this](Connection& from, GstMessage* msg) { onConnectionMessage(from, msg); });
}

std::unique_ptr<Pipeline> GstEngine::makePipeline() {
    auto pipeline = std::make_unique<Pipeline>(
        [this](Pipeline& from, GstMessage* msg) { onMessage(from, msg); }, m_audioSink);
    if (pipeline->isValid()) {
        pipeline->setVolume(m_volume / 100.0);
        pipeline->analyseSound(m_sound.wanted());
    }
    return pipeline;
}

void GstEngine::fail(const StreamError& error) {
    cancelRetry();
    m_phase = Phase::Failed;
    m_error = error;
    m_mainActive = false;
    m_stalled = false;
    m_recovering = false;
    m_held = false;
    m_drainTimer.stop();
    m_bufferPercent = -1;
    m_sound.silence();
    // The run (generation) stays, so its remaining messages can still refine the reason; so
    // does the connection's, which has stopped by itself.
    m_player->halt();
    retire(std::move(m_standby));
}

void GstEngine::dropFeed() {
    retire(std::move(m_source));
    retire(std::move(m_standby));
    if (m_feed) {
        m_feed->detach();
        m_feed.reset();
    }
    m_spliced = false;
    m_stalled = false;
    m_recovering = false;
    m_held = false;
    m_drainTimer.stop();
    m_clockTimer.stop();
    m_heardAt = -1;
    m_byteRate.clear();
}

void GstEngine::closeAll() {
    m_sound.silence();
    ++m_startToken;
    cancelRetry();
    cancelResolve();
    ++m_probeToken;
    if (m_player->isFed() || !m_player->uri().isEmpty()) {
        // A fresh playbin rather than waiting for this one to let go of its connection, which
        // a stalled source can make a long wait (see Pipeline::discard).
        retire(std::move(m_player));
        m_player = makePipeline();
    }
    dropFeed();
    m_renewDecoder = false;
    m_notLive.clear();
    m_loggedEvents = 0;
    m_mainActive = false;
    m_bufferPercent = -1;
    m_lastPosition = 0.0;
    m_warning = {};
}

void GstEngine::forgetTries() {
    // What the last tries learnt (the error, the playlist's entries, where the round stands)
    // belongs to them; an open or a restart counts its tries from the start.
    m_error = {};
    m_failure = {};
    m_directOpen = false;
    m_entries.clear();
    m_entry = -1;
    m_round = 0;
    m_schedule.restart();
}

void GstEngine::open() {
    m_openQueued = false;
    closeAll();
    forgetTries();
    m_phase = Phase::Connecting;
    if (!m_player->isValid()) {
        fail(StreamError::plain(QStringLiteral("GStreamer's playbin element is not installed")));
        return;
    }
    attempt();
}

void GstEngine::attempt() {
    m_schedule.started();
    m_warning = {};
    if (m_entry >= 0 && m_entry < m_entries.size()) {
        playEntry(m_entry);
        return;
    }
    // A playlist is fetched afresh on every open and now and then while reconnecting: stations
    // move their streams between servers.
    const QUrl url = toMediaUrl(m_url);
    if (looksLikePlaylistUrl(url)) {
        startResolve(url, false);
        return;
    }
    // Anything else goes straight to the pipeline: one connection for a plain stream, no probe.
    forgetEntry();
    m_directOpen = true;
    startMain(toUri(m_url), true);
}

void GstEngine::startMain(const QByteArray& uri, bool live) {
    m_mainActive = true;
    m_runClock.start();
    m_bufferPercent = -1;
    if (live && isLiveNetworkUri(uri) && !m_notLive.contains(uri)) {
        startSpliced(uri);
    } else {
        startDirect(uri);
    }
}

void GstEngine::startDirect(const QByteArray& uri) {
    dropFeed();
    if (m_player->isFed()) {
        retire(std::move(m_player));
        m_player = makePipeline();
    }
    m_lastPosition = 0.0;
    // Buffering levels are only shown while connecting.
    if (!m_player->start(uri, m_phase == Phase::Connecting)) {
        reportStartFailure(uri);
    }
}

void GstEngine::startSpliced(const QByteArray& uri) {
    m_spliced = true;
    if (!m_feed) {
        m_feed = std::make_shared<LiveFeed>(&m_context,
                                            [this](const FeedNote& note) { onFeedNote(note); });
    }
    // The player lasts as long as the stream, through every new connection; only a player that
    // failed or never started is made anew.
    if (!m_player->isFed() || !m_player->isRunning() || std::exchange(m_renewDecoder, false)) {
        retire(std::move(m_player));
        m_player = makePipeline();
        m_held = false;
        m_heardAt = -1;
        m_lastPosition = 0.0;
        if (!m_player->startFed(m_feed)) {
            reportStartFailure(uri);
            return;
        }
    }
    retire(std::move(m_source));
    m_source = makeConnection();
    if (!m_source->start(uri)) {
        reportStartFailure(uri);
    }
    m_watchTimer.start();
}

void GstEngine::reportStartFailure(const QByteArray& uri) {
    // The bus carries the reason, queued before this call: let it speak first.
    QMetaObject::invokeMethod(
        &m_context,
        [this, token = ++m_startToken, uri] {
            if (token == m_startToken && m_mainActive) {
                const StreamError e = StreamError::plain(
                    QStringLiteral("Cannot open %1").arg(QString::fromUtf8(uri)));
                m_spliced ? sourceEnded(e, false) : mainEnded(e, false);
            }
        },
        Qt::QueuedConnection);
}

QString GstEngine::sourceUrl() const {
    return m_entryUrl.isEmpty() ? m_url : m_entryUrl.toString();
}

void GstEngine::setURL(const QString& url) {
    m_url = url;
    m_title.clear();
    m_station.clear();
    m_openQueued = false;
    closeAll();
    forgetEntry();
    m_directOpen = false;
    m_everPlayed = false;
    m_schedule.reset();
    m_error = {};
    m_failure = {};
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

void GstEngine::play() {
    if (m_url.isEmpty()) {
        return;
    }
    const bool wasWanted = std::exchange(m_wanted, true);
    // A playlist being fetched for the first time is an open in progress too; it ends by
    // itself within the download time limit.
    if (m_openQueued || (m_resolving && m_phase == Phase::Connecting)) {
        return;
    }
    // Always a new connection and fresh retries, even when the pipeline believes it is playing:
    // this is how a stalled, dropped or failed stream starts over. A live stream keeps its
    // decoder and splicer while doing so; anything else starts from scratch.
    if (wasWanted && restartLive()) {
        return;
    }
    open();
}

void GstEngine::stop() {
    if (m_url.isEmpty()) {
        return;
    }
    m_wanted = false;
    m_openQueued = false;
    closeAll();
    m_directOpen = false;
    m_error = {};
    m_failure = {};
    m_phase = Phase::Stopped;
}

double GstEngine::currentPosition() const {
    if (m_phase != Phase::Playing) {
        return 0.0;
    }
    // A query that fails now and then (during a state change) repeats the last answer rather
    // than dropping to 0, which would look like a restart.
    m_player->position(&m_lastPosition);
    return m_lastPosition;
}

void GstEngine::setVolume(int volume) {
    m_volume = std::clamp(volume, 0, 100);
    applyVolume();
}

void GstEngine::setSoundListener(SoundListener listener) {
    m_sound.setListener(std::move(listener));
    // One decoding pipeline plays whatever connection brings the stream: only it measures.
    if (m_player->isValid()) {
        m_player->analyseSound(m_sound.wanted());
    }
}

void GstEngine::applyVolume() {
    // The slider is perceptual: 50 should sound about half as loud, not be half the amplitude.
    if (m_player->isValid()) {
        m_player->setVolume(m_volume / 100.0);
    }
}

QString GstEngine::status() const {
    switch (m_phase) {
        case Phase::Idle:
            return {};
        case Phase::Connecting:
            if (m_bufferPercent >= 0 && m_bufferPercent < 100) {
                return QStringLiteral("Buffering %1%").arg(m_bufferPercent);
            }
            return QStringLiteral("Connecting");
        case Phase::Playing:
            return m_stalled || m_recovering ? reconnectingStatus() : QStringLiteral("Playing");
        case Phase::Reconnecting:
            return reconnectingStatus();
        case Phase::Stopped:
            return QStringLiteral("Stopped");
        case Phase::Failed:
            return QStringLiteral("Error: ") + describe(m_error);
    }
    return {};
}

QString GstEngine::mediaName() const {
    return displayName(m_title, m_station, m_entryTitle, sourceUrl());
}

void initGStreamer(int* argc, char*** argv) {
    if (!gst_is_initialized()) {
        gst_init(argc, argv);
    }
    initDecoderPolicy();
}

std::unique_ptr<MediaBackend> createGstBackend() {
    return std::make_unique<GstEngine>();
}

}  // namespace orvane
