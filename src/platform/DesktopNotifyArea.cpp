// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/DesktopNotifyArea.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstring>

#include "platform/CodePage.h"
#include "platform/Gdi.h"
#include "platform/WindowHandles.h"

namespace orvane {

struct DesktopNotifyArea::Icon {
    std::unique_ptr<QSystemTrayIcon> tray;
    std::uint32_t callbackMessage = 0;
    QTimer balloonTimer;
    bool balloonUp = false;
};

namespace {

// A text field up to its NUL, or all of it when it holds none; never a byte past its end.
template <std::size_t N>
QString readField(const char (&field)[N]) {
    const void* nul = std::memchr(field, 0, N);
    const std::size_t length =
        nul == nullptr ? N : std::size_t(static_cast<const char*>(nul) - field);
    return fromCodePage(QByteArrayView(field, qsizetype(length)));
}

// An icon handle as the tray shows it. The pixels are copied, so the handle may be destroyed as
// soon as the call returns. A handle that names no icon leaves an empty slot, as the old shell
// did.
QIcon iconFromHandle(std::uint32_t hIcon) {
    QImage image = imageOfIcon(hIcon);
    if (image.isNull()) {
        image = QImage(16, 16, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
    }
    return QIcon(QPixmap::fromImage(image));
}

QSystemTrayIcon::MessageIcon balloonIcon(std::uint32_t dwInfoFlags) {
    switch (dwInfoFlags & 0x0F) {
        case NIIF_INFO:
            return QSystemTrayIcon::Information;
        case NIIF_WARNING:
            return QSystemTrayIcon::Warning;
        case NIIF_ERROR:
            return QSystemTrayIcon::Critical;
        default:
            return QSystemTrayIcon::NoIcon;
    }
}

// The notification reaches the window as the mouse move the old shell's callback message was, so
// it takes the window's ordinary mouse-move path.
void sendAsMouseMove(std::uint32_t hWnd, std::uint32_t code) {
    QWidget* window = windowFromHWnd(hWnd);
    if (window == nullptr) {
        return;
    }
    const QPointF local(code, 0);
    QMouseEvent event(QEvent::MouseMove, local, window->mapToGlobal(local), Qt::NoButton,
                      Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &event);
}

}  // namespace

DesktopNotifyArea::DesktopNotifyArea() : DesktopNotifyArea(Options{}) {}

DesktopNotifyArea::DesktopNotifyArea(Options options) : m_options(std::move(options)) {
    if (!m_options.available) {
        m_options.available = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    }
}

DesktopNotifyArea::~DesktopNotifyArea() = default;

bool DesktopNotifyArea::hasNotificationArea() const {
    return m_options.available();
}

QSystemTrayIcon* DesktopNotifyArea::trayIcon(std::uint32_t hWnd, std::uint32_t uID) const {
    const auto it = m_icons.find(Key(hWnd, uID));
    return it == m_icons.end() ? nullptr : it->second->tray.get();
}

bool DesktopNotifyArea::notifyIcon(std::uint32_t dwMessage, const NOTIFYICONDATAA& data) {
    // Only the layout we know is read; anything else would be read at the wrong offsets.
    if (data.cbSize != sizeof(NOTIFYICONDATAA)) {
        return false;
    }
    const Key key(data.hWnd, data.uID);
    switch (dwMessage) {
        case NIM_ADD:
            return add(data);
        case NIM_MODIFY: {
            const auto it = m_icons.find(key);
            if (it == m_icons.end()) {
                return false;
            }
            apply(*it->second, data);
            return true;
        }
        case NIM_DELETE:
            // The icon and any balloon go at once. Nothing is reported to the window: it is
            // usually on its way out.
            return m_icons.erase(key) != 0;
        default:
            return false;
    }
}

bool DesktopNotifyArea::add(const NOTIFYICONDATAA& data) {
    const Key key(data.hWnd, data.uID);
    if (!hasNotificationArea() || windowFromHWnd(data.hWnd) == nullptr || m_icons.count(key)) {
        return false;
    }
    auto icon = std::make_unique<Icon>();
    icon->tray = std::make_unique<QSystemTrayIcon>();
    Icon* raw = icon.get();

    connect(raw->tray.get(), &QSystemTrayIcon::activated, this,
            [this, key](QSystemTrayIcon::ActivationReason reason) {
                switch (reason) {
                    case QSystemTrayIcon::Trigger:
                        notify(key, {WM_LBUTTONUP});
                        break;
                    case QSystemTrayIcon::DoubleClick:
                        // The old shell reported a double click as double-click, then release.
                        notify(key, {WM_LBUTTONDBLCLK, WM_LBUTTONUP});
                        break;
                    case QSystemTrayIcon::Context:
                        notify(key, {WM_RBUTTONUP});
                        break;
                    case QSystemTrayIcon::MiddleClick:
                        notify(key, {WM_MBUTTONUP});
                        break;
                    default:
                        break;
                }
            });
    connect(raw->tray.get(), &QSystemTrayIcon::messageClicked, this, [this, key, raw] {
        if (raw->balloonUp) {
            raw->balloonUp = false;
            raw->balloonTimer.stop();
            notify(key, {NIN_BALLOONUSERCLICK});
        }
    });
    raw->balloonTimer.setSingleShot(true);
    connect(&raw->balloonTimer, &QTimer::timeout, this, [this, key, raw] {
        raw->balloonUp = false;
        notify(key, {NIN_BALLOONTIMEOUT});
    });

    // Added without NIF_ICON the icon holds an empty slot until an image comes.
    raw->tray->setIcon(iconFromHandle(0));
    m_icons.emplace(key, std::move(icon));
    apply(*raw, data);
    raw->tray->show();
    return true;
}

void DesktopNotifyArea::apply(Icon& icon, const NOTIFYICONDATAA& data) {
    if (data.uFlags & NIF_MESSAGE) {
        icon.callbackMessage = data.uCallbackMessage;
    }
    if (data.uFlags & NIF_ICON) {
        icon.tray->setIcon(iconFromHandle(data.hIcon));
    }
    if (data.uFlags & NIF_TIP) {
        icon.tray->setToolTip(readField(data.szTip));
    }
    if (data.uFlags & NIF_INFO) {
        showBalloon(icon, data);
    }
    // NIF_STATE (hiding an icon without removing it) is not offered.
}

void DesktopNotifyArea::showBalloon(Icon& icon, const NOTIFYICONDATAA& data) {
    const Key key(data.hWnd, data.uID);
    if (icon.balloonUp) {
        icon.balloonUp = false;
        icon.balloonTimer.stop();
        notify(key, {NIN_BALLOONHIDE});
    }
    const QString message = readField(data.szInfo);
    // An empty message takes the balloon down and shows none.
    if (message.isEmpty()) {
        return;
    }
    // uTimeout is unsigned: a negative time-out from a signed caller is a huge one.
    const int shown =
        int(std::clamp<std::uint32_t>(data.uTimeout, std::uint32_t(m_options.minBalloonMs),
                                      std::uint32_t(m_options.maxBalloonMs)));
    icon.tray->showMessage(readField(data.szInfoTitle), message, balloonIcon(data.dwInfoFlags),
                           shown);
    icon.balloonUp = true;
    icon.balloonTimer.start(shown);
}

void DesktopNotifyArea::notify(const Key& key, std::initializer_list<std::uint32_t> codes) {
    const auto it = m_icons.find(key);
    // Only the mouse-move callback has a way into a window here, and it is the one registered.
    if (it == m_icons.end() || it->second->callbackMessage != WM_MOUSEMOVE) {
        return;
    }
    for (const std::uint32_t code : codes) {
        QMetaObject::invokeMethod(
            this, [hWnd = key.first, code] { sendAsMouseMove(hWnd, code); }, Qt::QueuedConnection);
    }
}

}  // namespace orvane
