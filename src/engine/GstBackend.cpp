// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/GstBackend.h"

#include <gst/gst.h>

#include <QByteArray>
#include <QLoggingCategory>
#include <algorithm>

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
    m_main = makePipeline();
    m_retryTimer.setSingleShot(true);
    QObject::connect(&m_retryTimer, &QTimer::timeout, &m_context, [this] { onRetry(); });
    m_watchTimer.setInterval(kWatchIntervalMs);
    QObject::connect(&m_watchTimer, &QTimer::timeout, &m_context, [this] { onWatchTick(); });
    QObject::connect(WakeWatcher::instance(), &WakeWatcher::wokeUp, &m_context,
                     [this] { onWake(); });
}

GstEngine::~GstEngine() {
    // No resolve may finish into an engine that is half gone.
    m_resolver.reset();
    // The pipelines go before m_context, which takes any still-queued calls with it.
    m_standby.reset();
    m_main.reset();
    m_retired.clear();
}

std::unique_ptr<Pipeline> GstEngine::makePipeline() {
    auto pipeline = std::make_unique<Pipeline>(
        [this](Pipeline& from, GstMessage* msg) { onMessage(from, msg); });
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
    m_bufferPercent = -1;
    m_sound.silence();
    // The run (generation) stays, so its remaining messages can still refine the reason.
    m_main->halt();
    retire(std::move(m_standby));
}

void GstEngine::closeAll() {
    m_sound.silence();
    ++m_startToken;
    cancelRetry();
    cancelResolve();
    ++m_probeToken;
    if (!m_main->uri().isEmpty()) {
        // A fresh playbin rather than waiting for this one to let go of its connection, which
        // a stalled source can make a long wait (see Pipeline::discard).
        retire(std::move(m_main));
        m_main = makePipeline();
    }
    retire(std::move(m_standby));
    m_mainActive = false;
    m_stalled = false;
    m_bufferPercent = -1;
    m_lastPosition = 0.0;
    m_warning = {};
}

void GstEngine::open() {
    m_openQueued = false;
    closeAll();
    m_error = {};
    m_failure = {};
    m_directOpen = false;
    m_entries.clear();
    m_entry = -1;
    m_round = 0;
    m_schedule.restart();
    m_phase = Phase::Connecting;
    if (!m_main->isValid()) {
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

void GstEngine::startMain(const QByteArray& uri, bool watch) {
    m_mainActive = true;
    m_runClock.start();
    m_mainLive = watch && isLiveNetworkUri(uri);
    m_bufferPercent = -1;
    m_lastPosition = 0.0;
    // Buffering levels are only shown while connecting.
    if (!m_main->start(uri, m_phase == Phase::Connecting)) {
        // The bus carries the reason, queued before this call: let it speak first.
        QMetaObject::invokeMethod(
            &m_context,
            [this, token = ++m_startToken, uri] {
                if (token == m_startToken && m_mainActive) {
                    mainEnded(StreamError::plain(
                                  QStringLiteral("Cannot open %1").arg(QString::fromUtf8(uri))),
                              false);
                }
            },
            Qt::QueuedConnection);
    }
    if (m_mainLive) {
        m_watchTimer.start();
    }
}

void GstEngine::startResolve(const QUrl& url, bool knownPlaylist) {
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

void GstEngine::cancelResolve() {
    if (m_resolver) {
        m_resolver->cancel();
    }
    m_resolving = false;
    m_probing = false;
}

bool GstEngine::readAsPlaylist(const StreamError& error) {
    // Many stations link a playlist under a name like /listen or /stream. The pipeline gives up
    // on it as undecodable; read it as a playlist once before calling it an error.
    if (!m_directOpen || !isUnknownData(error)) {
        return false;
    }
    m_directOpen = false;
    const QUrl url = toMediaUrl(m_url);
    if (!isFetchable(url)) {
        return false;
    }
    m_main->close();
    m_probeReason = error;
    startResolve(url, true);
    return true;
}

void GstEngine::onResolved(const PlaylistResult& result) {
    if (!m_resolving) {
        return;
    }
    const bool probing = m_probing;
    m_resolving = false;
    m_probing = false;
    switch (result.kind) {
        case PlaylistResult::Kind::Streams:
            m_entries = result.streams;
            m_round = 0;
            playEntry(0);
            break;
        case PlaylistResult::Kind::PlayAsIs:
            // HLS (or media behind a playlist's name): playbin's demuxer does the rest. The URL
            // as written is then what plays.
            forgetEntry();
            startMain(result.url.toString(QUrl::FullyEncoded).toUtf8(), false);
            break;
        case PlaylistResult::Kind::Error: {
            // Undecodable data that is no playlist either: what the pipeline said about it is
            // the better reason. Neither changes by trying again; a server that is down does.
            const bool notPlaylist = result.errorKind == PlaylistError::NotPlaylist;
            const StreamError reason = result.errorKind == PlaylistError::Certificate
                                           ? StreamError::untrusted(result.certificate)
                                           : StreamError::plain(result.error);
            if (m_wanted && !notPlaylist) {
                reconnect(reason);
                break;
            }
            forgetEntry();
            fail(probing && notPlaylist ? m_probeReason : reason);
            break;
        }
    }
}

void GstEngine::playEntry(int index) {
    m_directOpen = false;
    m_entry = index;
    m_entryUrl = m_entries.at(index).url;
    m_entryTitle = m_entries.at(index).title;
    startMain(m_entryUrl.toString(QUrl::FullyEncoded).toUtf8(), true);
}

void GstEngine::forgetEntry() {
    m_entries.clear();
    m_entry = -1;
    m_entryUrl.clear();
    m_entryTitle.clear();
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
    m_wanted = true;
    // A playlist being fetched for the first time is an open in progress too; it ends by
    // itself within the download time limit.
    if (m_openQueued || (m_resolving && m_phase == Phase::Connecting)) {
        return;
    }
    // Always from scratch, even when the pipeline believes it is playing: this is how a stalled,
    // dropped or failed stream gets a new connection, and the retries start over.
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
    m_main->position(&m_lastPosition);
    return m_lastPosition;
}

void GstEngine::setVolume(int volume) {
    m_volume = std::clamp(volume, 0, 100);
    applyVolume();
}

void GstEngine::setSoundListener(SoundListener listener) {
    m_sound.setListener(std::move(listener));
    // A connection tried beside a stalled one measures too, so that it shows at once when it
    // takes over; only the main one's measurements are passed on.
    for (Pipeline* p : {m_main.get(), m_standby.get()}) {
        if (p && p->isValid()) {
            p->analyseSound(m_sound.wanted());
        }
    }
}

void GstEngine::applyVolume() {
    // The slider is perceptual: 50 should sound about half as loud, not be half the amplitude.
    for (Pipeline* p : {m_main.get(), m_standby.get()}) {
        if (p && p->isValid()) {
            p->setVolume(m_volume / 100.0);
        }
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
            return m_stalled ? reconnectingStatus() : QStringLiteral("Playing");
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
