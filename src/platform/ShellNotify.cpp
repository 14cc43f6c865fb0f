// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/ShellNotify.h"

#include <QCoreApplication>
#include <QPointer>
#include <utility>

#include "platform/DesktopNotifyArea.h"

namespace orvane {

namespace {

NotifyShell* g_installed = nullptr;

NotifyShell& shell() {
    if (g_installed != nullptr) {
        return *g_installed;
    }
    // Made on first use, inside the application, and gone with it.
    static QPointer<DesktopNotifyArea> desktop;
    if (desktop.isNull()) {
        desktop = new DesktopNotifyArea;
        if (QCoreApplication* app = QCoreApplication::instance()) {
            desktop->setParent(app);
        }
    }
    return *desktop;
}

}  // namespace

NotifyShell* setNotifyShell(NotifyShell* shell) {
    return std::exchange(g_installed, shell);
}

bool Shell_NotifyIconA(std::uint32_t dwMessage, const NOTIFYICONDATAA& data) {
    return shell().notifyIcon(dwMessage, data);
}

bool notificationAreaAvailable() {
    return shell().hasNotificationArea();
}

}  // namespace orvane
