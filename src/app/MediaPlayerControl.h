// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <memory>

#include "engine/MediaBackend.h"

namespace orvane {

// The player control that sits in the window. Callers reach the engine through the same object
// paths the old control had (URL, controls.play, settings.volume, currentMedia.name ...); each
// controls()/settings()/currentMedia() call hands out a fresh, throw-away view, so nothing keeps
// an engine object between uses.
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

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::unique_ptr<MediaBackend> m_backend;
};

}  // namespace orvane
