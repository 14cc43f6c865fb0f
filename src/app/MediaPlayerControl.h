// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <memory>

#include "app/SoundBars.h"
#include "engine/MediaBackend.h"

namespace orvane {

// The player control that sits in the window. Callers reach the engine through the same object
// paths the old control had (URL, controls.play, settings.volume, currentMedia.name ...); each
// controls()/settings()/currentMedia() call hands out a fresh, throw-away view, so nothing keeps
// an engine object between uses.
//
// Like the old control in its full display mode, it shows the sound that plays: the engine
// measures it, and the control draws it while the window can be seen. While it cannot (hidden to
// the tray, minimised, or covered where the desktop says so) nothing is measured or drawn.
class MediaPlayerControl final : public QWidget {
    Q_OBJECT
  public:
    explicit MediaPlayerControl(std::unique_ptr<MediaBackend> backend, QWidget* parent = nullptr);
    ~MediaPlayerControl() override;

    class Controls {
      public:
        void play() { m_c.play(); }
        void stop() { m_c.stop(); }
        double currentPosition() const { return m_c.m_backend->currentPosition(); }

      private:
        friend class MediaPlayerControl;
        explicit Controls(MediaPlayerControl& c) : m_c(c) {}
        MediaPlayerControl& m_c;
    };
    class Settings {
      public:
        int volume() const { return m_b.volume(); }
        void setVolume(int v) { m_b.setVolume(v); }

      private:
        friend class MediaPlayerControl;
        explicit Settings(MediaBackend& b) : m_b(b) {}
        MediaBackend& m_b;
    };
    class Media {
      public:
        QString name() const { return m_c.refused() ? QString() : m_c.m_backend->mediaName(); }
        QString sourceURL() const {
            return m_c.refused() ? QString() : m_c.m_backend->mediaSourceURL();
        }

      private:
        friend class MediaPlayerControl;
        explicit Media(const MediaPlayerControl& c) : m_c(c) {}
        const MediaPlayerControl& m_c;
    };

    QString URL() const { return refused() ? QString() : m_backend->URL(); }
    void setURL(const QString& url);
    QString status() const;
    Controls controls() { return Controls(*this); }
    Settings settings() { return Settings(*m_backend); }
    Media currentMedia() const { return Media(*this); }

    // For a text Play will not hand on: the engine stops, and until the next URL or stop the
    // control holds no media, plays nothing again and reports "Error: <reason>", so the reason
    // shows wherever the status shows, and stays, as a failure of the engine's own would.
    void refuse(const QString& reason);

    // The part of the control the display of the sound uses, in the control's coordinates: the
    // part the window's buttons leave free. The whole control until set.
    void setSoundArea(const QRect& area);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool refused() const { return !m_refusal.isEmpty(); }
    void play();
    void stop();
    bool canBeSeen() const;
    // Starts or ends the measuring as the control comes into view or goes out of it.
    void followVisibility();
    void onSound(const SoundLevels& levels);
    void onFrame();
    void frame();
    QRectF barsArea() const;

    std::unique_ptr<MediaBackend> m_backend;
    QString m_refusal;
    QRect m_soundArea;
    bool m_listening = false;
    SoundBars m_bars;
    // Wakes once the measurements stop coming, then draws the bars' fall; idle when flat.
    QTimer* m_frames = nullptr;
    bool m_quiet = true;         // the bars fall towards silence on the timer's frames
    QElapsedTimer m_frameClock;  // since the last frame
};

}  // namespace orvane
