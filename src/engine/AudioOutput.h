// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

typedef struct _GstElement GstElement;

namespace orvane {

// The audio sink for a playbin: autoaudiosink (PipeWire, PulseAudio or ALSA; a discarding sink
// that keeps real time where there is no sound device), or the sink described by
// ORVANE_AUDIO_SINK for trouble-shooting and benchmarks. Whatever it picks is set up for a radio
// stream and tells the sound server who is playing (its name and icon, and that it is music).
// Returns a floating reference for playbin's "audio-sink", or nullptr to keep playbin's default.
GstElement* createAudioSink();

// Shows `title` as the stream's name in the sound server's mixer, now and on every connection
// the sink makes from here on. `playbin` is the pipeline whose audio sink came from
// createAudioSink(); any other sink is left alone.
void setAudioStreamTitle(GstElement* playbin, const QString& title);

}  // namespace orvane
