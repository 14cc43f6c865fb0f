// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <memory>

#include "mpris/MprisHost.h"

namespace orvane {

class frmMain;
class MprisService;

// The window as the desktop's media controls see it. Every command runs the window's own handler
// through the same dispatch wrapper as a click, so PlayFlag, FailCounter and the labels end up
// exactly as the button would leave them.
class MprisBridge final : public MprisHost {
  public:
    explicit MprisBridge(frmMain& form, QDBusConnection bus = QDBusConnection::sessionBus());
    ~MprisBridge() override;

    // The bus name taken, or "" without a session bus.
    QString serviceName() const;

    MprisState state() const override;
    double elapsedSeconds() const override;
    void play() override;
    void stop() override;
    void togglePlayback() override;
    void next() override;
    void previous() override;
    void openUri(const QString& uri) override;
    void setVolume(int percent) override;
    void raise() override;
    void quit() override;

  private:
    bool playbackWanted(const QString& status) const;
    QString stationNameFor(const QString& url) const;
    void selectAndPlay(int index);

    frmMain& m_form;
    std::unique_ptr<MprisService> m_service;
};

}  // namespace orvane
