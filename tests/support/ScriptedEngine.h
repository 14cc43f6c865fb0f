// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <deque>
#include <functional>

#include "app/frmMain.h"
#include "engine/MediaBackend.h"

namespace orvane::test {

// An engine that answers from a script and counts every call, so window logic can be tested
// without GStreamer or a network. Positions come from a queue, one value per read; when the
// queue is empty every read returns `position`.
class ScriptedEngine final : public MediaBackend {
  public:
    QString url;
    QString statusText;
    QString name = QStringLiteral("Scripted Name");
    QString sourceURL = QStringLiteral("http://127.0.0.1/scripted");
    double position = 0;
    mutable std::deque<double> positions;
    int vol = 50;

    mutable int statusReads = 0;
    mutable int mediaReads = 0;
    mutable int positionReads = 0;
    int plays = 0;
    int stops = 0;
    // Called on each position read, before it answers, with the read's 1-based number.
    std::function<void(int)> onPositionRead;

    void resetCounts() { statusReads = mediaReads = positionReads = plays = stops = 0; }

    void setURL(const QString& u) override { url = u; }
    QString URL() const override { return url; }
    void play() override { ++plays; }
    void stop() override { ++stops; }
    double currentPosition() const override {
        ++positionReads;
        if (onPositionRead) {
            onPositionRead(positionReads);
        }
        if (!positions.empty()) {
            const double p = positions.front();
            positions.pop_front();
            return p;
        }
        return position;
    }
    int volume() const override { return vol; }
    void setVolume(int v) override { vol = v; }
    QString status() const override {
        ++statusReads;
        return statusText;
    }
    QString mediaName() const override {
        ++mediaReads;
        return name;
    }
    QString mediaSourceURL() const override {
        ++mediaReads;
        return sourceURL;
    }
};

// The window with a scripted engine behind it; `engine` stays owned by the window.
struct ScriptedForm {
    ScriptedEngine* engine = new ScriptedEngine;
    frmMain form{std::unique_ptr<MediaBackend>(engine)};
};

}  // namespace orvane::test
