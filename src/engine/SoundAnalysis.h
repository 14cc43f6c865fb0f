// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QTimer>
#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <utility>

#include "engine/MediaBackend.h"

typedef struct _GstElement GstElement;
typedef struct _GstMessage GstMessage;

namespace orvane {

// The sound analysis that sits in a playbin's audio-filter, ahead of the volume: fifteen times a
// second, the levels of the bands the window shows, posted as an element message. An
// audioconvert ahead of it converts what it cannot read (rare: decoders give what it reads).
// While `active` is off the audio goes past it unexamined, so it costs nothing and posts nothing.
struct SoundAnalysis {
    GstElement* filter = nullptr;  // a floating reference, for playbin's "audio-filter"
    std::shared_ptr<std::atomic<bool>> active;
};
// An empty analysis (no filter) where GStreamer's elements for it are missing.
SoundAnalysis createSoundAnalysis();

// An analysis message of such a filter. Counts it: see soundMessagesPosted().
bool isSoundAnalysis(GstMessage* msg);
// Analysis messages posted on any pipeline's bus in this process, relayed or not.
quint64 soundMessagesPosted();

// Bands of a Fourier transform (decibels, lowest first, evenly spaced from 0 Hz to half the
// sample rate) gathered into the bands the window shows: `count` of them, spaced evenly in pitch
// from the lowest notes to the top of what a stream carries, each from 0 (silence) to 1 (full
// scale).
SoundLevels soundLevels(const float* decibels, int bins, int sampleRate, int count);
// The levels that one analysis message carries.
SoundLevels soundLevels(GstMessage* msg);

// Hands levels over when the sound they measure is heard. The analysis sees the audio as it goes
// into the audio output's buffer, a few tenths of a second before it comes out of the speakers.
class SoundFeed {
  public:
    SoundFeed();
    bool wanted() const { return bool(m_listener); }
    // Forgets whatever is held.
    void setListener(SoundListener listener);
    // A message of `pipeline`'s analysis, held until its sound is heard.
    void measured(GstElement* pipeline, GstMessage* msg);
    // Nothing sounds from now on: drops what is held and tells the listener.
    void silence();

  private:
    using Clock = std::chrono::steady_clock;
    // Hands over what is due; what is not yet is handed over by the next arrival or, `slack`
    // after it is due, by the timer.
    void deliver(Clock::duration slack);

    SoundListener m_listener;
    std::deque<std::pair<Clock::time_point, SoundLevels>> m_held;
    QTimer m_timer;
};

}  // namespace orvane
