// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gst/gst.h>

#include <QByteArray>
#include <QObject>
#include <functional>
#include <memory>

#include "engine/GstPtr.h"

namespace orvane {

struct BusRelay;
class LiveFeed;

// One connection to a live stream, and nothing but a source of bytes: the HTTP source, the ICY
// metadata taken out of the data (its titles go on in the stream as tags), and the compressed
// audio handed to a LiveFeed. It never waits for the decoder, so the time since its last byte
// is the silence of the server, never a full queue further on.
//
// Its bus brings the source's failures, the end of the stream and one message of its own,
// kNotLive, when what it reached is no live stream after all: a file on a web server (it has a
// length), or a playlist, which the decoding pipeline reads itself.
class Connection {
  public:
    using Handler = std::function<void(Connection&, GstMessage*)>;
    // The name of the application message posted for a download that is not to be spliced.
    static constexpr const char* kNotLive = "orvane-not-live";

    Connection(int id, std::shared_ptr<LiveFeed> feed, Handler handler);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Returns at once; false when the pipeline refused to start.
    bool start(const QByteArray& uri);
    // Drops its queued messages and hands the pipeline to a thread that takes it down: nothing
    // waits for the connection to close.
    void discard();

    int id() const { return m_id; }
    QByteArray uri() const { return m_uri; }
    // Milliseconds since the server last sent anything; -1 before the first byte.
    qint64 msSinceData() const;
    bool hasData() const { return msSinceData() >= 0; }

  private:
    struct State;

    QObject m_context;  // target of queued calls; goes with the connection
    int m_id;
    gst::ElementPtr m_pipeline;
    gst::BusPtr m_bus;
    BusRelay* m_relay = nullptr;
    quint64 m_generation = 0;
    std::shared_ptr<State> m_state;
    Handler m_handler;
    QByteArray m_uri;
};

}  // namespace orvane
