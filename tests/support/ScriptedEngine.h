// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <deque>
#include <functional>

#include "app/frmMain.h"
#include "engine/MediaBackend.h"

namespace orvane::test {

// An engine that answers from a script and logs every call in order ("status", "sourceURL",
// "name", "position", "play", "stop", "url=...", "volume", "volume=N"). Position reads take the
// queue's front, and the last one stays (never empty it); `adjustVolume` decides what volume it
// keeps.
class ScriptedEngine final : public MediaBackend {
  public:
    QString url;
    QString statusText;
    QString name = QStringLiteral("Scripted Name");
    QString sourceURL = QStringLiteral("http://127.0.0.1/scripted");
    mutable std::deque<double> positions{0};
    int vol = 50;
    std::function<int(int)> adjustVolume = [](int v) { return v; };
    std::function<void()> onPlay;                // inside play(), before it is logged
    std::function<void(const QString&)> onCall;  // after each call is logged

    mutable QStringList calls;
    qsizetype count(const QString& call) const { return calls.count(call); }

    void setURL(const QString& u) override { url = log(QStringLiteral("url=") + u, u); }
    QString URL() const override { return url; }
    void play() override { log(QStringLiteral("play"), onPlay ? (onPlay(), 0) : 0); }
    void stop() override { log(QStringLiteral("stop"), 0); }
    double currentPosition() const override {
        const double p = positions.front();
        if (positions.size() > 1) {
            positions.pop_front();
        }
        return log(QStringLiteral("position"), p);
    }
    int volume() const override { return log(QStringLiteral("volume"), vol); }
    void setVolume(int v) override {
        vol = log(QStringLiteral("volume=%1").arg(v), adjustVolume(v));
    }
    QString status() const override { return log(QStringLiteral("status"), statusText); }
    QString mediaName() const override { return log(QStringLiteral("name"), name); }
    QString mediaSourceURL() const override { return log(QStringLiteral("sourceURL"), sourceURL); }
    // Not logged: the window sets it as it comes into view and goes out of it.
    SoundListener soundListener;
    void setSoundListener(SoundListener listener) override { soundListener = std::move(listener); }

  private:
    template <typename T>
    T log(const QString& call, T result) const {
        calls.append(call);
        onCall ? onCall(call) : void();
        return result;
    }
};

// A folder holding a source list, where the window looks for it at start-up.
struct ListFolder {
    QTemporaryDir dir;
    explicit ListFolder(const QByteArray& list) {
        QFile file(dir.filePath(QStringLiteral("orvaneplayer.ini")));
        if (!file.open(QIODevice::WriteOnly) || file.write(list) != list.size()) {
            qFatal("cannot write the source list");
        }
    }
    void load(frmMain& form) const {
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        form.Form_Load();
        QDir::setCurrent(old);
    }
};

// The bars in the free part of the player area, left to right: the height of each run of light
// columns, in pixels. Geometry-blind, so it catches missing, merged or misordered bars.
inline QList<int> soundBars(MediaPlayerControl* area) {
    const int freeHeight = 88;  // above the button row
    const QImage image = area->grab(QRect(0, 0, area->width(), freeHeight)).toImage();
    QList<int> bars;
    bool inBar = false;
    for (int x = 0; x < image.width(); ++x) {
        int lit = 0;
        for (int y = 0; y < image.height(); ++y) {
            lit += qGray(image.pixel(x, y)) > 100 ? 1 : 0;
        }
        if (lit > 0 && !inBar) {
            bars.append(0);
        }
        if (lit > 0) {
            bars.last() = std::max(bars.last(), lit);
        }
        inBar = lit > 0;
    }
    return bars;
}

// The window with a scripted engine behind it; `engine` stays owned by the window.
struct ScriptedForm {
    ScriptedEngine* engine = new ScriptedEngine;
    frmMain form{std::unique_ptr<MediaBackend>(engine)};
};

}  // namespace orvane::test
