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
        void play() { m_b.play(); }
        void stop() { m_b.stop(); }
        double currentPosition() const { return m_b.currentPosition(); }

      private:
        friend class MediaPlayerControl;
        explicit Controls(MediaBackend& b) : m_b(b) {}
        MediaBackend& m_b;
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
        QString name() const { return m_b.mediaName(); }
        QString sourceURL() const { return m_b.mediaSourceURL(); }

      private:
        friend class MediaPlayerControl;
        explicit Media(MediaBackend& b) : m_b(b) {}
        MediaBackend& m_b;
    };

    QString URL() const { return m_backend->URL(); }
    void setURL(const QString& url) { m_backend->setURL(url); }
    QString status() const { return m_backend->status(); }
    Controls controls() { return Controls(*m_backend); }
    Settings settings() { return Settings(*m_backend); }
    Media currentMedia() { return Media(*m_backend); }

    // The part of the control the display of the sound uses, in the control's coordinates: the
    // part the window's buttons leave free. The whole control until set.
    void setSoundArea(const QRect& area);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool canBeSeen() const;
    // Starts or ends the measuring as the control comes into view or goes out of it.
    void followVisibility();
    void onSound(const SoundLevels& levels);
    void onFrame();
    void frame();
    QRectF barsArea() const;

    std::unique_ptr<MediaBackend> m_backend;
    QRect m_soundArea;
    bool m_listening = false;
    SoundBars m_bars;
    // Wakes once the measurements stop coming, then draws the bars' fall; idle when flat.
    QTimer* m_frames = nullptr;
    bool m_quiet = true;         // the bars fall towards silence on the timer's frames
    QElapsedTimer m_frameClock;  // since the last frame
};

}  // namespace orvane
