// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gst/gst.h>

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <vector>

#include "engine/ByteRate.h"
#include "engine/Connection.h"
#include "engine/LiveFeed.h"
#include "engine/MediaBackend.h"
#include "engine/Pipeline.h"
#include "engine/RetrySchedule.h"
#include "engine/SoundAnalysis.h"
#include "engine/StreamError.h"
#include "playlists/Playlist.h"
#include "playlists/PlaylistResolver.h"

namespace orvane {

// The GStreamer engine. A live HTTP stream comes in through connections that are byte sources
// only (Connection), joined by a splicer (LiveFeed) into one run of bytes for one decoding
// playbin, which lasts as long as the stream: when a connection ends or goes silent, the engine
// opens another, and its bytes continue exactly where the old ones end, with neither decoder nor
// audio sink rebuilt. A file, HLS and other addresses play in the playbin directly. While the
// user wants playback the engine reconnects by itself whenever the stream ends or fails.
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

    // GstBackend.cpp: opening, what the window reads; Messages.cpp: the buses.
    std::unique_ptr<Pipeline> makePipeline();
    std::unique_ptr<Connection> makeConnection();
    void onMessage(Pipeline& pipeline, GstMessage* msg);
    void onPlayerMessage(GstMessage* msg);
    void onConnectionMessage(Connection& from, GstMessage* msg);
    void handleTags(GstMessage* msg);
    StreamError readError(GstMessage* msg, bool warning) const;
    void noteWarning(GstMessage* msg, bool mayExplain);
    void open();
    void attempt();
    void startMain(const QByteArray& uri, bool live);
    void startDirect(const QByteArray& uri);
    void startSpliced(const QByteArray& uri);
    void reportStartFailure(const QByteArray& uri);
    QString sourceUrl() const;
    void closeAll();
    void dropFeed();
    void fail(const StreamError& error);
    void applyVolume();

    // Resolve.cpp: playlists.
    void startResolve(const QUrl& url, bool knownPlaylist);
    void cancelResolve();
    bool readAsPlaylist(const StreamError& error);
    void onResolved(const PlaylistResult& result);
    void playEntry(int index);
    void forgetEntry();

    // Reconnect.cpp: what happens when a stream ends or fails.
    void mainEnded(const StreamError& error, bool endOfStream);
    void sourceEnded(const StreamError& error, bool endOfStream);
    void playerFailed(const StreamError& error);
    void endOfRun(StreamError error, bool endOfStream, const QByteArray& uri, bool playing);
    void reconnect(const StreamError& error);
    void scheduleRetry(int delayMs);
    void cancelRetry();
    void onRetry();
    void onWake();
    void retire(std::unique_ptr<Pipeline> pipeline);
    void retire(std::unique_ptr<Connection> connection);
    void probe(const QByteArray& uri);
    StreamError withLastKnownCause(StreamError error) const;
    QString reconnectingStatus() const;

    // LiveRun.cpp: a live stream across its connections, and the player while it runs dry.
    void onWatchTick();
    void startStandby();
    void promoteStandby();
    void onFeedNote(const FeedNote& note);
    void onResolvedFeed(int feed, Splicer::Outcome outcome, int stream);
    void checkDrain();
    void holdForData(const Pipeline::Look& look);
    void renewDecoder(qint64 from = -1);
    bool checkClock(const Pipeline::Look& look);
    void noteHeard(qint64 msAhead);
    void forgetTries();
    bool restartLive();
    double byteRate() const;
    void measureRate(const Pipeline::Look& look);
    bool logEvent();

    // Target of every queued call; destroying it with the engine drops calls still queued.
    QObject m_context;
    // The decoding pipeline: it plays an address itself, or what m_feed delivers.
    std::unique_ptr<Pipeline> m_player;
    // The splicer between the connections of a live stream and the player.
    std::shared_ptr<LiveFeed> m_feed;
    // The connection that brings the live stream, and a second one, tried while it is silent.
    std::unique_ptr<Connection> m_source;
    std::unique_ptr<Connection> m_standby;
    int m_lastConnectionId = 0;
    // Dropped inside their own message handlers; freed from the event loop.
    std::vector<std::unique_ptr<Pipeline>> m_retired;
    std::vector<std::unique_ptr<Connection>> m_retiredConnections;
    // Addresses that turned out to be files or playlists rather than live streams.
    QSet<QByteArray> m_notLive;

    // The audio sink every decoding pipeline gets, as the environment named it when the engine
    // was made: a stream makes its pipeline only once it knows how it plays.
    const QByteArray m_audioSink = qgetenv("ORVANE_AUDIO_SINK");
    QString m_url;
    bool m_openQueued = false;
    // From play() to stop(): every end of the stream is followed by another try.
    bool m_wanted = false;
    // Audio played since the URL was set: from then on, undecodable data is a stream that
    // changed its format, worth another try, rather than a link to something that is no stream.
    bool m_everPlayed = false;
    // The main run (the player's own address, or the connection that feeds it) is connecting or
    // playing, and its end has not been dealt with yet.
    bool m_mainActive = false;
    // A live stream comes in through connections and the splicer.
    bool m_spliced = false;
    // The connection has been silent too long; a second connection is on its way or due.
    bool m_stalled = false;
    // The connection ended while audio plays on from what was queued; another is on its way.
    bool m_recovering = false;
    // The player ran out of audio and stands still until data comes.
    bool m_held = false;
    // The next connection of a live stream gets a new decoder (the old one stood still while it
    // played); the splicer stays.
    bool m_renewDecoder = false;
    QTimer m_drainTimer;
    double m_drainPosition = -1;  // where the position stood at the last check near the end
    quint64 m_drainRun = 0;       // in which of the feed's waits for data
    double m_refillSeconds = 0;
    QElapsedTimer m_resumed;  // since the player last played on after running dry
    // The player's clock is looked at closely for a moment after it plays on.
    QTimer m_clockTimer;
    int m_clockChecks = 0;
    // Where in the stream the sound stood at the last look (see LiveFeed::decoderPosition);
    // -1: not known for this decoder.
    qint64 m_heardAt = -1;
    int m_loggedEvents = 0;
    QElapsedTimer m_eventLog;
    ByteRate m_byteRate;
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
