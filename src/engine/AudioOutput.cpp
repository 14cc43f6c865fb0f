// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/AudioOutput.h"

#include <gst/audio/gstaudiobasesink.h>
#include <gst/gst.h>

#include <QByteArray>
#include <QLoggingCategory>

namespace orvane {

namespace {

Q_LOGGING_CATEGORY(lcAudio, "orvane.engine.audio", QtInfoMsg)

// The sound server's ring buffer. GStreamer's defaults (200 ms, in 10 ms segments) suit calls and
// games; a radio stream has seconds of network buffer in front of it, so 100 ms segments cost
// nothing audible and let the server ask for data less often. The whole buffer stays short
// enough that a volume step is heard within half a second.
constexpr gint64 kBufferTimeUs = 400000;
constexpr gint64 kLatencyTimeUs = 100000;

// Decoders hand over a frame at a time (26 ms for MP3), and every hand-over wakes the sink's
// thread and the sound server's client thread. Gathered into 100 ms blocks, they wake a third as
// often (measured with PulseAudio: 54 -> 30 and 73 -> 46 wake-ups a second).
constexpr const char* kBlockDuration = "1/10";

constexpr const char* kApplicationName = "Orvane Player";
constexpr const char* kIconName = "orvaneplayer";
constexpr const char* kMediaRole = "music";

bool hasProperty(GstElement* element, const char* name, GType type) {
    GParamSpec* pspec = g_object_class_find_property(G_OBJECT_GET_CLASS(element), name);
    return pspec && g_type_is_a(pspec->value_type, type);
}

// PulseAudio's sink (and PipeWire's, through its PulseAudio service) takes the stream's
// properties as a structure and hands them to the server when it opens a stream. The stream's
// name (media.name) is the sink's own business: it sets it from every title tag that flows
// through it, so a new ICY title reaches the mixer with the audio it belongs to.
void applyStreamProperties(GstElement* element) {
    if (!hasProperty(element, "stream-properties", GST_TYPE_STRUCTURE)) {
        return;
    }
    GstStructure* props = gst_structure_new(
        "props", "application.name", G_TYPE_STRING, kApplicationName, "application.icon_name",
        G_TYPE_STRING, kIconName, "media.role", G_TYPE_STRING, kMediaRole, nullptr);
    g_object_set(element, "stream-properties", props, nullptr);
    gst_structure_free(props);
}

void configureElement(GstElement* element) {
    if (GST_IS_AUDIO_BASE_SINK(element)) {
        g_object_set(element, "buffer-time", kBufferTimeUs, "latency-time", kLatencyTimeUs,
                     nullptr);
    }
    // The mixer lists the connection (client) by this name, and the stream under it.
    if (hasProperty(element, "client-name", G_TYPE_STRING)) {
        g_object_set(element, "client-name", kApplicationName, nullptr);
    }
    applyStreamProperties(element);
}

// autoaudiosink adds the sink it picks when it starts (and again after each stop), so each one
// is configured as it arrives.
void onElementAdded(GstBin* /*sink*/, GstBin* /*subBin*/, GstElement* element, gpointer /*data*/) {
    configureElement(element);
}

void configureAll(GstElement* sink) {
    if (!GST_IS_BIN(sink)) {
        configureElement(sink);
        return;
    }
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(sink));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        configureElement(GST_ELEMENT(g_value_get_object(&item)));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

GstElement* sinkFromDescription(const QByteArray& description) {
    if (description.isEmpty()) {
        return nullptr;
    }
    GError* err = nullptr;
    GstElement* sink = gst_parse_bin_from_description(description.constData(), TRUE, &err);
    if (!sink) {
        qCWarning(lcAudio) << "ORVANE_AUDIO_SINK:" << (err ? err->message : "unusable");
    }
    g_clear_error(&err);
    return sink;
}

// `sink` behind an audiobuffersplit, in one bin; `sink` alone where that element is missing.
GstElement* inBlocks(GstElement* sink) {
    GstElement* split = gst_element_factory_make("audiobuffersplit", nullptr);
    if (!split) {
        return sink;
    }
    gst_util_set_object_arg(G_OBJECT(split), "output-buffer-duration", kBlockDuration);
    GstElement* bin = gst_bin_new("audio-output");
    gst_bin_add_many(GST_BIN(bin), split, sink, nullptr);
    gst_element_link(split, sink);
    GstPad* pad = gst_element_get_static_pad(split, "sink");
    gst_element_add_pad(bin, gst_ghost_pad_new("sink", pad));
    gst_object_unref(pad);
    return bin;
}

}  // namespace

GstElement* createAudioSink(const QByteArray& description) {
    GstElement* sink = sinkFromDescription(description);
    if (!sink) {
        sink = gst_element_factory_make("autoaudiosink", nullptr);
    }
    if (!sink) {
        return nullptr;
    }
    sink = inBlocks(sink);
    configureAll(sink);
    if (GST_IS_BIN(sink)) {
        g_signal_connect(sink, "deep-element-added", G_CALLBACK(onElementAdded), nullptr);
    }
    return sink;
}

}  // namespace orvane
