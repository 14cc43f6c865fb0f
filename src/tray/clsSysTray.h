// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <cstdint>

#include "platform/ShellNotify.h"

class QWidget;

namespace orvane {

class PictureBox;

// One icon in the notification area on behalf of one window: the window's icon and a tooltip,
// balloon messages, and the icon's mouse and balloon notifications turned into six events. All of
// it goes through Shell_NotifyIconA with the one record the instance keeps for its whole life;
// every call names exactly one NIF_ flag. Results of the shell are not acted on, except that Init
// remembers whether the icon really went into the notification area, so that the window can tell
// whether hiding itself would leave the user a way back.
class clsSysTray final : public QObject {
    Q_OBJECT
  public:
    clsSysTray();
    // Removes the icon: NIM_DELETE with the record as the last operation left it.
    ~clsSysTray() override;
    clsSysTray(const clsSysTray&) = delete;
    clsSysTray& operator=(const clsSysTray&) = delete;

    // Adds the icon with the window's icon and the tooltip, and makes the window the receiver of
    // its notifications (as mouse moves). Always returns false.
    bool Init(QWidget& pfrm, const QString& pstrTooltip);
    // Shows the window's icon (read afresh); the icon stays the window's.
    void SetIcon(QWidget& pfrm);
    QString TooltipText() const { return mstrTooltip; }
    void TooltipText(const QString& pstrTooltip);
    // plngTimeout is converted to a 32-bit integer: a number rounds half to even, text must hold
    // a number (else run-time error 13), and a value outside 32 bits is run-time error 6. When it
    // fails nothing is sent, though the texts are already in the record.
    void ShowBalloonTip(const QString& pstrMessage, std::int32_t penIcon = 0,
                        const QString& pstrTitle = QString(),
                        const QVariant& plngTimeout = QVariant(30000));
    // Raises the event for a notification code; any other X raises nothing.
    void MouseMove(std::int16_t& Button, std::int32_t X, QWidget& pfrm);
    // Shows what has been drawn in the picture box as the icon; a colour of 0 or more is made
    // transparent (0x00BBGGRR), a negative one means none.
    void DrawIcon(PictureBox& ppic, const std::int32_t& plngTransparentColor = -1);

    // Whether the icon is in the notification area now: Init added it, and the area is still
    // there (a tray host may have gone since).
    bool InNotificationArea() const;

  signals:
    void LeftClick();
    void RightClick();
    void DoubleClick();
    void BalloonHide();
    void BalloonTimeOut();
    void BalloonClicked();

  private:
    void UpdateIcon();

    QString mstrTooltip;
    NOTIFYICONDATAA mudtNotifyIcon{};
    bool mblnAdded = false;
};

}  // namespace orvane
