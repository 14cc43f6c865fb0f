// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "platform/ShellNotify.h"

class QSystemTrayIcon;
class QTimer;

namespace orvane {

// The desktop's notification area behind Shell_NotifyIconA: one QSystemTrayIcon per (hWnd, uID).
// Qt shows it as a StatusNotifierItem where a watcher runs on the session bus (KDE, XFCE, GNOME
// with the AppIndicator extension, most Wayland desktops) and as an XEmbed icon in an X11 tray
// otherwise.
//
// The icon's notifications go back to the window named by hWnd as a mouse move whose X is the
// notification code, posted like the old shell posted its callback messages, so they are handled
// after the call that caused them has returned:
//   left click -> 0x202; double click -> 0x203, 0x202; right click -> 0x205; middle click ->
//   0x208; balloon clicked -> 0x405; balloon timed out -> 0x404; balloon replaced or removed ->
//   0x403.
// Qt does not report a balloon's time-out, so it is timed here from uTimeout, held within the
// bounds the old shell enforced.
class DesktopNotifyArea final : public QObject, public NotifyShell {
    Q_OBJECT
  public:
    struct Options {
        // Whether a notification area is there; QSystemTrayIcon::isSystemTrayAvailable() by
        // default.
        std::function<bool()> available;
        int minBalloonMs = 10000;
        int maxBalloonMs = 30000;
    };

    DesktopNotifyArea();
    explicit DesktopNotifyArea(Options options);
    ~DesktopNotifyArea() override;

    bool notifyIcon(std::uint32_t dwMessage, const NOTIFYICONDATAA& data) override;
    bool hasNotificationArea() const override;

    // The icon shown for (hWnd, uID), or nullptr; for tests.
    QSystemTrayIcon* trayIcon(std::uint32_t hWnd, std::uint32_t uID) const;

  private:
    struct Icon;
    using Key = std::pair<std::uint32_t, std::uint32_t>;

    bool add(const NOTIFYICONDATAA& data);
    void apply(Icon& icon, const NOTIFYICONDATAA& data);
    void showBalloon(Icon& icon, const NOTIFYICONDATAA& data);
    void notify(const Key& key, std::initializer_list<std::uint32_t> codes);

    Options m_options;
    std::map<Key, std::unique_ptr<Icon>> m_icons;
};

}  // namespace orvane
