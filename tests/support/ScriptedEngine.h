// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>

#include "app/frmMain.h"
#include "engine/MediaBackend.h"

namespace orvane::test {

// An engine that answers from a script and logs every call in order ("status", "sourceURL",
// "name", "position", "play", "stop", "url=...", "volume", "volume=N"), so window logic can be
// tested without GStreamer or a network. Positions come from a queue, one value per read; when
// the queue is empty every read returns `position`. Like a real engine it need not keep a volume
// exactly as written: `adjustVolume` decides what it keeps.
class ScriptedEngine final : public MediaBackend {
  public:
    QString url;
    QString statusText;
    QString name = QStringLiteral("Scripted Name");
    QString sourceURL = QStringLiteral("http://127.0.0.1/scripted");
    double position = 0;
    mutable std::deque<double> positions;
    int vol = 50;
    std::function<int(int)> adjustVolume = [](int v) { return v; };
    // Runs inside play(), before it is logged: the window as the engine sees it then.
    std::function<void()> onPlay;
    // Runs after each call is logged.
    std::function<void(const QString&)> onCall;

    mutable QStringList calls;
    qsizetype count(const QString& call) const { return calls.count(call); }

    void setURL(const QString& u) override {
        url = u;
        log(QStringLiteral("url=") + u);
    }
    QString URL() const override { return url; }
    void play() override {
        if (onPlay) {
            onPlay();
        }
        log(QStringLiteral("play"));
    }
    void stop() override { log(QStringLiteral("stop")); }
    double currentPosition() const override {
        log(QStringLiteral("position"));
        if (positions.empty()) {
            return position;
        }
        const double p = positions.front();
        positions.pop_front();
        return p;
    }
    int volume() const override {
        log(QStringLiteral("volume"));
        return vol;
    }
    void setVolume(int v) override {
        vol = adjustVolume(v);
        log(QStringLiteral("volume=%1").arg(v));
    }
    QString status() const override {
        log(QStringLiteral("status"));
        return statusText;
    }
    QString mediaName() const override {
        log(QStringLiteral("name"));
        return name;
    }
    QString mediaSourceURL() const override {
        log(QStringLiteral("sourceURL"));
        return sourceURL;
    }

  private:
    void log(const QString& call) const {
        calls.append(call);
        if (onCall) {
            onCall(call);
        }
    }
};

// The window with a scripted engine behind it; `engine` stays owned by the window.
struct ScriptedForm {
    ScriptedEngine* engine = new ScriptedEngine;
    frmMain form{std::unique_ptr<MediaBackend>(engine)};
};

}  // namespace orvane::test
