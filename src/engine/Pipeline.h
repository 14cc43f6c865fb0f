// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gst/gst.h>

#include <QByteArray>
#include <QObject>
#include <atomic>
#include <functional>
#include <memory>

#include "engine/GstPtr.h"

namespace orvane {

struct BusRelay;
class LiveFeed;

// Sets up an HTTP-style source the way the player makes every connection: how long it waits on
// a silent connection, the player's user agent, and ICY metadata asked for.
void configureSource(GstElement* source);

// One playbin and everything that hangs off it: the audio sink, the set-up of its source, a
// watch on the bytes that source delivers, and the relay that brings its bus messages to the
// thread that made it. It either opens an address itself (a file, HLS, anything but a live HTTP
// stream) or decodes what a LiveFeed hands its appsrc, for as long as the stream lasts, however
// many connections bring it.
class Pipeline {
  public:
    // Called on the owner's thread for every message of the current run.
    using Handler = std::function<void(Pipeline&, GstMessage*)>;

    // `sink` describes the audio sink in gst-launch syntax; empty for the system's own.
    Pipeline(Handler handler, const QByteArray& sink);
    ~Pipeline();
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // False when GStreamer has no playbin; nothing else here works then.
    bool isValid() const { return bool(m_playbin); }
    GstElement* element() const { return m_playbin.get(); }

    // Opens uri from scratch. Returns at once: connecting and prerolling happen on GStreamer's
    // threads. False when the pipeline refused to start at all. Its buffering levels reach the
    // handler only when `buffering` asks for them, and until reportBuffering(false).
    bool start(const QByteArray& uri, bool buffering = false);
    // Decodes what `feed` delivers.
    bool startFed(std::shared_ptr<LiveFeed> feed);
    bool isFed() const { return m_fed; }
    // Started, and neither closed nor halted since.
    bool isRunning() const { return m_running; }
    QByteArray uri() const { return m_uri; }
    // Turns the buffering levels on or off from now on; those already queued still arrive.
    void reportBuffering(bool on);
    // Measures the sound and passes the measurements on to the handler, or stops both; those
    // already queued still arrive.
    void analyseSound(bool on);
    // Releases the connection and forgets the run: its queued messages are dropped.
    void close();
    // Releases the connection but keeps the run, so its remaining messages can still be read.
    void halt();
    // Drops the run and every message it has queued, and hands the playbin to a thread that
    // takes it down: nothing here works afterwards, and nothing waits for the connection to go.
    void discard();

    // Seconds played in this run, when the pipeline can tell.
    bool position(double* seconds) const;
    // The media has a known length (a file), so its end is the end and not a dropped stream.
    bool isFinite() const;
    // Perceptual volume, 0..1.
    void setVolume(double volume);
    // Holds playback (the position stands still, nothing is dropped as late) and lets it go on.
    void hold(bool held);
    // Where the sound is, and the milliseconds of decoded audio not yet heard (-1: not known).
    // A position query walks the whole pipeline, so one look serves everything decided at once.
    struct Look {
        bool known = false;
        double seconds = 0.0;
        qint64 msAhead = -1;
        bool clockRanOff = false;  // see clockRanOff()
    };
    Look look() const;
    // The pipeline plays, but its clock reads a time before the pipeline started: the position
    // reads 0 from then on, and nothing measured against the clock means anything.
    bool clockRanOff() const;

    // Milliseconds since the source last delivered data in this run; -1 before the first byte.
    qint64 msSinceData() const;
    bool hasData() const { return msSinceData() >= 0; }
    // The source reached the end of what the server sent (the connection closed).
    bool sourceEnded() const;

    // How long the HTTP source waits on a silent connection before it gives up.
    static guint sourceTimeoutSeconds();

  private:
    struct DataWatch;

    // Target of every queued call; destroying it with the pipeline drops calls still queued.
    QObject m_context;
    gst::ElementPtr m_playbin;
    gst::BusPtr m_bus;
    BusRelay* m_relay = nullptr;
    std::shared_ptr<DataWatch> m_watch;
    std::shared_ptr<std::atomic<bool>> m_analysing;  // shared with the analysis' streaming thread
    gulong m_sourceSetupId = 0;
    gulong m_elementSetupId = 0;
    quint64 m_generation = 0;
    bool m_fed = false;
    bool m_running = false;
    Handler m_handler;
    QByteArray m_uri;
};

}  // namespace orvane
