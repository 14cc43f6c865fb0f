// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

typedef struct _GstElement GstElement;

namespace orvane {

// The audio sink for a playbin: autoaudiosink (PipeWire, PulseAudio or ALSA; a discarding sink
// that keeps real time where there is no sound device), or the sink `description` names in
// gst-launch syntax (ORVANE_AUDIO_SINK, for trouble-shooting and benchmarks). Whatever it picks
// is set up for a radio stream and tells the sound server who is playing (its name and icon, and
// that it is music); the sink itself names the stream after the title tags that flow through it.
// Returns a floating reference for playbin's "audio-sink", or nullptr to keep playbin's default.
GstElement* createAudioSink(const QByteArray& description);

}  // namespace orvane
