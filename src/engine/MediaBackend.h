// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <functional>
#include <vector>

namespace orvane {

// How loud the sound is in each frequency band, lowest band first, each from 0 (silence) to 1
// (full scale). Measured before the volume, so turning the volume down does not change it.
using SoundLevels = std::vector<float>;
using SoundListener = std::function<void(const SoundLevels&)>;

// What a playing engine offers the window. Every getter answers at once from state the engine
// already holds; nothing here blocks on the network, and nothing throws for a bad stream: a
// stream that fails shows it in status() ("Error: <reason>") and reads position 0.
class MediaBackend {
  public:
    virtual ~MediaBackend() = default;

    // Writing the URL closes the current media and, since auto-start is on, starts opening the
    // new one. The open is queued, so a play() straight after opens one connection, not two.
    virtual void setURL(const QString& url) = 0;
    virtual QString URL() const = 0;

    // No URL: nothing. Open still queued: nothing more. Otherwise reopen the URL from scratch.
    // From here until stop() the engine reconnects by itself whenever the stream ends or fails.
    virtual void play() = 0;
    // Stop, end every retry and release every connection; the position reads 0 from then on.
    virtual void stop() = 0;
    // Seconds of audio played since the media was opened; frozen while no data arrives, 0 when
    // nothing plays.
    virtual double currentPosition() const = 0;

    // 0..100, default 50, kept across reopenings.
    virtual int volume() const = 0;
    virtual void setVolume(int volume) = 0;

    // "" before any URL, "Connecting", "Buffering NN%", "Playing", "Reconnecting[: <reason>]",
    // "Stopped", "Error: <reason>".
    virtual QString status() const = 0;
    // Stream title, else station name, else the URL's last path segment without its extension.
    virtual QString mediaName() const = 0;
    // The URL of what is loaded, as written.
    virtual QString mediaSourceURL() const = 0;

    // While a listener is set, the engine measures the sound and calls it, on this thread, as
    // the sound is heard: some fifteen times a second while audio plays, and with no levels at
    // all when the sound stops at once (stop, a new station, a failure). When audio simply runs
    // out (a stalled stream) the calls stop. An empty listener ends the measuring: the engine
    // then spends nothing on it and calls nothing.
    virtual void setSoundListener(SoundListener listener) = 0;
};

// The status texts that mean nothing is loaded or playing: exactly "Stopped", "Ready" and "",
// whole and case-sensitive ("Ready " is not idle). The window clears its labels on them and the
// desktop's media controls describe no stream; both ask here, so they cannot disagree.
inline bool isIdleStatus(const QString& status) {
    return status.isEmpty() || status == QLatin1String("Stopped") ||
           status == QLatin1String("Ready");
}

// A failure that trying again cannot mend ("Error: File not found"): the engine has given up.
inline bool isFailedStatus(const QString& status) {
    return status.startsWith(QLatin1String("Error: "));
}

}  // namespace orvane
