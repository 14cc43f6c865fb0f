// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gst/gst.h>

#include <QtGlobal>
#include <atomic>
#include <functional>
#include <mutex>

class QObject;

namespace orvane {

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

// The part of a pipeline that GStreamer's own threads see. The owner clears `deliver` under the
// lock before it goes away, so a message posted during destruction is dropped, and bumps
// `generation` whenever it throws a run away, so messages of an old run that are still queued
// are ignored when they arrive. Owned by the bus (freed by its destroy notify).
struct BusRelay {
    std::mutex lock;
    // Runs on the thread of `context` with a message and the generation it was posted in.
    std::function<void(GstMessage*, quint64)> deliver;
    QObject* context = nullptr;
    GstObject* playbin = nullptr;
    quint64 generation = 0;
    // Whether the owner reads buffering levels now. A live stream's queue never fills, and its
    // level flickers between two values for as long as it plays: about twenty reports a second
    // at 128 kbit/s. Only the start of a run shows them; the rest are dropped here, on the
    // posting thread, rather than waking the owner's thread to be ignored there.
    std::atomic<bool> buffering{false};
    // Whether the owner wants the sound analysis' measurements, some fifteen a second. They are
    // dropped here while the window cannot show them (and the analysis posts none then anyway,
    // but some may still be on their way).
    std::atomic<bool> analysis{false};

    // The bus's sync handler: picks the messages the engine reads and queues them to `context`.
    static GstBusSyncReply onBusMessage(GstBus* bus, GstMessage* msg, gpointer data);
};

}  // namespace orvane
