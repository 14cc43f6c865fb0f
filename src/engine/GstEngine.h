// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gst/gst.h>

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <vector>

#include "engine/MediaBackend.h"
#include "engine/Pipeline.h"
#include "engine/RetrySchedule.h"
#include "engine/SoundAnalysis.h"
#include "engine/StreamError.h"
#include "playlists/Playlist.h"
#include "playlists/PlaylistResolver.h"

namespace orvane {

// The GStreamer engine. One playbin plays; while the user wants playback it reconnects by itself
// when the stream ends or fails, and when a live stream goes silent it opens a second playbin
// beside the first and keeps whichever delivers (the new one, when both do: it is nearer live).
// Everything runs on the thread that made it; GStreamer's threads only queue messages to it.
class GstEngine final : public MediaBackend {
  public:
    GstEngine();
    ~GstEngine() override;
    GstEngine(const GstEngine&) = delete;
    GstEngine& operator=(const GstEngine&) = delete;

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
    void setSoundListener(SoundListener listener) override;

  private:
    enum class Phase { Idle, Connecting, Playing, Reconnecting, Stopped, Failed };

    // GstBackend.cpp: opening, playlists, what the window reads; Messages.cpp: the buses.
    std::unique_ptr<Pipeline> makePipeline();
    void onMessage(Pipeline& pipeline, GstMessage* msg);
    void onMainMessage(GstMessage* msg);
    void handleTags(GstMessage* msg);
    StreamError readError(GstMessage* msg, bool warning) const;
    void open();
    void attempt();
    void startMain(const QByteArray& uri, bool live);
    void startResolve(const QUrl& url, bool knownPlaylist);
    void cancelResolve();
    bool readAsPlaylist(const StreamError& error);
    void onResolved(const PlaylistResult& result);
    void playEntry(int index);
    void forgetEntry();
    QString sourceUrl() const;
    void closeAll();
    void fail(const StreamError& error);
    void applyVolume();

    // Reconnect.cpp: what happens when a stream ends, fails or goes silent.
    void mainEnded(const StreamError& error, bool endOfStream);
    void reconnect(const StreamError& error);
    void scheduleRetry(int delayMs);
    void cancelRetry();
    void onRetry();
    void onWatchTick();
    void onWake();
    void startStandby();
    void onStandbyMessage(GstMessage* msg);
    void promoteStandby();
    void retire(std::unique_ptr<Pipeline> pipeline);
    void probe(const QByteArray& uri);
    StreamError withLastKnownCause(StreamError error) const;
    QString reconnectingStatus() const;

    // Target of every queued call; destroying it with the engine drops calls still queued.
    QObject m_context;
    std::unique_ptr<Pipeline> m_main;
    // A second connection to the same stream, tried while the main one is silent.
    std::unique_ptr<Pipeline> m_standby;
    // Pipelines dropped inside their own message handler; freed from the event loop.
    std::vector<std::unique_ptr<Pipeline>> m_retired;

    QString m_url;
    bool m_openQueued = false;
    // From play() to stop(): every end of the stream is followed by another try.
    bool m_wanted = false;
    // Audio played since the URL was set: from then on, undecodable data is a stream that
    // changed its format, worth another try, rather than a link to something that is no stream.
    bool m_everPlayed = false;
    // The main run is connecting or playing, and its end has not been dealt with yet.
    bool m_mainActive = false;
    // The main run is a live network stream whose silence means a stall.
    bool m_mainLive = false;
    // The main run has been silent too long; a second connection is on its way or due.
    bool m_stalled = false;
    QElapsedTimer m_runClock;  // since the main run started
    RetrySchedule m_schedule;
    QTimer m_retryTimer;
    quint64 m_retryToken = 0;
    QTimer m_watchTimer;
    quint64 m_probeToken = 0;
    quint64 m_startToken = 0;

    // Made on first use: a player that only ever opens plain streams needs no network manager.
    std::unique_ptr<PlaylistResolver> m_resolver;
    bool m_resolving = false;
    // The resolve was started because the pipeline found text where it expected audio.
    bool m_probing = false;
    // What the pipeline said then; shown if the text turns out not to be a playlist either.
    StreamError m_probeReason;
    // The pipeline plays the URL exactly as the user wrote it, so a playlist behind it can only
    // show up as undecodable data.
    bool m_directOpen = false;
    // The streams of the resolved playlist, tried in order, and the one being played. The
    // entry stays while the same playlist is fetched again, so a reconnect does not flicker the
    // name and address through the playlist's own.
    QList<PlaylistEntry> m_entries;
    int m_entry = -1;
    // Rounds through the whole list that failed since it was fetched.
    int m_round = 0;
    QUrl m_entryUrl;
    QString m_entryTitle;

    Phase m_phase = Phase::Idle;
    int m_bufferPercent = -1;
    StreamError m_error;    // why the engine gave up (Failed)
    StreamError m_failure;  // why the last try failed (Reconnecting)
    StreamError m_warning;  // the first warning of the main run
    QString m_title;
    QString m_station;
    int m_volume = 50;
    mutable double m_lastPosition = 0.0;
    // The main run's sound, for the window's display while it is seen.
    SoundFeed m_sound;
};

}  // namespace orvane
