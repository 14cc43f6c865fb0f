// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace orvane {

// What the player shows the desktop at one moment.
struct MprisState {
    // A stream is wanted: from PLAY until STOP, or until the engine gives up on it.
    bool playing = false;
    // The source's display name, its stream's own title (empty while it has none), its URL.
    QString station;
    QString title;
    QString url;
    // 0..100, as the engine holds it.
    int volume = 0;
    bool canGoNext = false;
    bool canGoPrevious = false;

    bool operator==(const MprisState&) const = default;
};

// What the player offers the desktop's media controls. The window implements it; every command
// acts exactly as the matching button or tray click would.
class MprisHost {
  public:
    virtual ~MprisHost() = default;

    virtual MprisState state() const = 0;
    // Seconds of audio played since the stream was opened.
    virtual double elapsedSeconds() const = 0;

    virtual void play() = 0;
    virtual void stop() = 0;
    // Stop while the state says playing, else play.
    virtual void togglePlayback() = 0;
    virtual void next() = 0;
    virtual void previous() = 0;
    virtual void openUri(const QString& uri) = 0;
    // 0..100.
    virtual void setVolume(int percent) = 0;
    virtual void raise() = 0;
    // May end the program; the call must have returned before anything is torn down.
    virtual void quit() = 0;
};

}  // namespace orvane
