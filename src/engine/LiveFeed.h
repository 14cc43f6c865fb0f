// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gst/gst.h>

#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "engine/Splicer.h"

class QObject;

namespace orvane {

// What the feed has to tell the engine; delivered on the engine's thread.
struct FeedNote {
    enum class Kind {
        Resolved,  // a connection found its place (`feed`, `outcome`)
        Starving,  // the decoder asked for data and none is queued
        Refilled,  // as much data as awaitRefill() asked for came
        Drained,   // the decoder was told that its stream ends: a new format follows, or nothing
        Skipped,   // `ms` of programme were dropped to get back near live
    };
    Kind kind;
    int feed = 0;
    Splicer::Outcome outcome = Splicer::Outcome::Continues;
    int stream = 0;
    qint64 ms = 0;
};

// The splicer between the connections to a live stream and the one decoding pipeline, whose
// appsrc it feeds. Connections push from their streaming threads, the appsrc takes from its own,
// and the engine looks in from its thread; everything here holds one lock, briefly (a radio
// stream brings a few kilobytes a second). The engine is told what it has to act on through a
// queued call, so nothing here ever waits for it.
class LiveFeed : public std::enable_shared_from_this<LiveFeed> {
  public:
    using Notify = std::function<void(const FeedNote&)>;
    // Bytes handed to the appsrc at a time, and how much it may hold: about a second at
    // 128 kbit/s, so that what the feed holds is what can be dropped.
    static constexpr std::size_t kPieceBytes = 4096;
    static constexpr guint64 kDecoderQueueBytes = 16384;

    // `notify` runs on the thread of `context`, until detach().
    LiveFeed(QObject* context, Notify notify);
    ~LiveFeed();
    LiveFeed(const LiveFeed&) = delete;
    LiveFeed& operator=(const LiveFeed&) = delete;
    // The engine lets go: nothing is delivered to it any longer, and the appsrc is released.
    void detach();

    // From a connection's streaming thread: its first data comes with the format of what it
    // carries (the caps of the content, after any ICY metadata), then its bytes and tags.
    void open(int feed, const GstCaps* caps);
    void push(int feed, const guint8* data, gsize size);
    void tag(const GstTagList* tags);
    // From the engine: the connection is gone.
    void close(int feed);

    // The decoding pipeline's appsrc (from its source-setup): it gets the format of the stream
    // it starts with, then the bytes. A decoder that is replaced lets go of its appsrc.
    void attach(GstElement* appsrc);
    void release(GstElement* appsrc);
    // No connection follows: the decoder ends once it has played what is queued.
    void finish();
    // The decoder was told its stream ends, and bytes of a stream that it cannot decode follow.
    bool awaitsNewDecoder();

    // From the engine's thread, now and then.
    void poll(double bytesPerSecond, qint64 downstreamMs);
    // Bytes taken by the decoder since the last call.
    quint64 takePulledBytes();
    // Bytes that the appsrc holds, not yet decoded.
    quint64 decoderQueuedBytes();
    // The number of the decoder's current wait for data that is not there, counting from 1; 0
    // while data is there. Two looks that see the same number saw one wait.
    quint64 dryRun();
    // How long the decoder has been asking for data that is not there; -1: it is not.
    qint64 dryMs();
    // The engine's word after each look: the player holds more audio than it can play before
    // the next look. Then that look finds a wait for data in time, so the start of one is not
    // told (the decoder waits several times a second, between two network reads), and the
    // connections read less often.
    void setWellFed(bool wellFed);
    // From a connection's streaming thread: how long to wait after a read that took all the
    // socket held, so that the next read takes what came meanwhile in one go.
    gulong readPauseUs();
    bool isAligned(int feed);
    // The player ran dry and holds: Refilled comes once `bytes` more have come. Only a wait
    // asked for this way is told of its end; the decoder's many short waits between two network
    // reads end quietly.
    void awaitRefill(gsize bytes);
    // Where in the stream the bytes the decoder has taken end (those still in its appsrc not
    // counted), and a start from such a place again for the next decoder; see Splicer::rewind.
    qint64 decoderPosition();
    bool rewind(qint64 position);

  private:
    static void onNeedData(GstElement* appsrc, guint length, gpointer data);
    static void onEnoughData(GstElement* appsrc, gpointer data);
    static qint64 nowMs();
    void deliverLocked();
    // Every wait for data starts here, so that each has its own number.
    void beginDryRunLocked();
    void endStreamLocked();
    void reportLocked();
    void notifyLocked(const FeedNote& note);

    std::mutex m_lock;
    QObject* m_context;
    Notify m_notify;
    Splicer m_splicer;
    GstElement* m_appsrc = nullptr;  // a reference of its own
    // Set by the appsrc's need-data, cleared by its enough-data (which may come while the lock is
    // held by a push into the appsrc).
    std::atomic<bool> m_wanted{false};
    std::map<int, GstCaps*> m_feedCaps;  // each connection's format
    // The last connections gone: a streaming thread may still be about to open one of them.
    std::deque<int> m_closed;
    std::map<int, GstCaps*> m_streamCaps;  // each stream's: that of the connection that began it
    int m_sentStream = 0;                  // the stream the appsrc is fed; 0: none yet
    GstCaps* m_sentCaps = nullptr;
    std::deque<std::pair<qint64, GstTagList*>> m_tags;  // at stream positions
    bool m_finished = false;
    bool m_ended = false;  // the appsrc was told its stream ends
    bool m_starving = false;
    quint64 m_dryRuns = 0;
    bool m_wellFed = false;
    std::chrono::steady_clock::time_point m_starvingSince;
    bool m_refillAwaited = false;
    gsize m_refillBytes = 0;
    gsize m_sinceStarving = 0;
    quint64 m_pulled = 0;
};

}  // namespace orvane
