// SPDX-License-Identifier: GPL-3.0-or-later
#include "tray/clsSysTray.h"

#include <QWidget>
#include <cstring>

#include "platform/CodePage.h"
#include "platform/Conversions.h"
#include "platform/WindowHandles.h"

namespace orvane {

namespace {

// A text field: the text, one NUL, then spaces to the end; a text that leaves no room for the
// NUL is cut at the field's width and holds none. The field takes one Windows-1252 byte per
// UTF-16 unit ('?' for what the code page lacks), as the record is handed to the shell.
template <std::size_t N>
void setTextField(char (&field)[N], const QString& text) {
    QString wide = text.left(qsizetype(N));
    if (wide.size() < qsizetype(N)) {
        wide += QChar(0);
        wide += QString(qsizetype(N) - wide.size(), QLatin1Char(' '));
    }
    const QByteArray bytes = toCodePage(wide);
    std::memcpy(field, bytes.constData(), N);
}

}  // namespace

clsSysTray::clsSysTray() = default;

clsSysTray::~clsSysTray() {
    Shell_NotifyIconA(NIM_DELETE, mudtNotifyIcon);
}

bool clsSysTray::Init(QWidget& pfrm, const QString& pstrTooltip) {
    mudtNotifyIcon.cbSize = sizeof(NOTIFYICONDATAA);
    mudtNotifyIcon.hWnd = hWndOf(pfrm);
    mudtNotifyIcon.hIcon = windowIconPicture(pfrm).Handle();
    mudtNotifyIcon.uID = 1;
    mudtNotifyIcon.uFlags = NIF_MESSAGE;
    mudtNotifyIcon.uCallbackMessage = WM_MOUSEMOVE;
    // Added with only the callback message: no image and no tooltip yet.
    mblnAdded = Shell_NotifyIconA(NIM_ADD, mudtNotifyIcon);
    SetIcon(pfrm);
    TooltipText(pstrTooltip);
    return false;
}

bool clsSysTray::InNotificationArea() const {
    return mblnAdded && notificationAreaAvailable();
}

void clsSysTray::SetIcon(QWidget& pfrm) {
    mudtNotifyIcon.hIcon = windowIconPicture(pfrm).Handle();
    UpdateIcon();
}

void clsSysTray::UpdateIcon() {
    mudtNotifyIcon.uFlags = NIF_ICON;
    Shell_NotifyIconA(NIM_MODIFY, mudtNotifyIcon);
}

void clsSysTray::TooltipText(const QString& pstrTooltip) {
    mstrTooltip = pstrTooltip;
    setTextField(mudtNotifyIcon.szTip, mstrTooltip);
    mudtNotifyIcon.uFlags = NIF_TIP;
    Shell_NotifyIconA(NIM_MODIFY, mudtNotifyIcon);
}

void clsSysTray::ShowBalloonTip(const QString& pstrMessage, std::int32_t penIcon,
                                const QString& pstrTitle, const QVariant& plngTimeout) {
    setTextField(mudtNotifyIcon.szInfo, pstrMessage);
    setTextField(mudtNotifyIcon.szInfoTitle, pstrTitle);
    mudtNotifyIcon.uTimeout = static_cast<std::uint32_t>(toLong(plngTimeout));
    mudtNotifyIcon.dwInfoFlags = static_cast<std::uint32_t>(penIcon);
    mudtNotifyIcon.uFlags = NIF_INFO;
    Shell_NotifyIconA(NIM_MODIFY, mudtNotifyIcon);
}

void clsSysTray::MouseMove(std::int16_t& /*Button*/, std::int32_t X, QWidget& /*pfrm*/) {
    // The icon's callback message is the mouse move, so X carries the notification code. An
    // ordinary mouse move at one of these coordinates cannot be told apart, and raises the same.
    switch (X) {
        case std::int32_t(WM_LBUTTONUP):
            emit LeftClick();
            break;
        case std::int32_t(WM_LBUTTONDBLCLK):
            emit DoubleClick();
            break;
        case std::int32_t(WM_RBUTTONUP):
            emit RightClick();
            break;
        case std::int32_t(NIN_BALLOONHIDE):
            emit BalloonHide();
            break;
        case std::int32_t(NIN_BALLOONTIMEOUT):
            emit BalloonTimeOut();
            break;
        case std::int32_t(NIN_BALLOONUSERCLICK):
            emit BalloonClicked();
            break;
        default:
            break;
    }
}

}  // namespace orvane
