// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/frmMain.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QListView>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <cmath>

#include "app/MprisBridge.h"
#include "app/ScreenReaderNames.h"
#include "config/BuildInfo.h"
#include "engine/MediaBackend.h"
#include "platform/Conversions.h"
#include "platform/RuntimeError.h"
#include "platform/Twips.h"
#include "sources/SourceList.h"
#include "tray/clsSysTray.h"

namespace orvane {

namespace {

// Each addition to the watchdog's counter is checked like the old run time did.
double checkedAdd(double value, double step) {
    const double r = value + step;
    if (!std::isfinite(r)) {
        throw RuntimeError(err::Overflow);
    }
    return r;
}

// What the status line says about a text PLAY will not hand on; "" for a text it plays.
QString refusalText(LineFault fault) {
    switch (fault) {
        case LineFault::None:
            break;
        case LineFault::ControlCharacter:
            return QStringLiteral("Not played: the text holds a control character");
        case LineFault::TooLong:
            return QStringLiteral("Not played: the text is longer than %1 characters")
                .arg(kMaxSourceLineLength);
    }
    return {};
}

// Decimal digits of a whole number: no sign, no blank, no decimal point.
QString digits(double wholeNumber) {
    return QString::number(std::fabs(wholeNumber), 'f', 0);
}

QString twoDigits(double wholeNumber) {
    return (QStringLiteral("000") + digits(wholeNumber)).right(2);
}

void setListIndex(QComboBox* list, int index) {
    if (index < 0 || index >= list->count()) {
        throw RuntimeError(err::InvalidPropertyValue);
    }
    list->setCurrentIndex(index);
}

}  // namespace

frmMain::~frmMain() = default;

QString frmMain::creditLine() {
    return QStringLiteral("Orvane Player %1 - built with Qt & GStreamer")
        .arg(QLatin1StringView(build::kVersion));
}

void frmMain::Form_Load() {
    FailCounter = 0;
    PlayFlag = 0;
    WindowsMediaPlayer1->settings().setVolume(25);
    showVolume();
    lblCopyright->setText(creditLine());
    comboSourceList->addItems(readSourceLines());
    setListIndex(comboSourceList, 0);

    // The tray icon. SysTray is set before pending events run, so that any handler they reach
    // finds it.
    SysTray = std::make_unique<clsSysTray>();
    connect(SysTray.get(), &clsSysTray::LeftClick, this,
            [this] { dispatch([this] { SysTray_LeftClick(); }); });
    QCoreApplication::processEvents();
    SysTray->Init(*this, QStringLiteral("Orvane Player"));

    Mpris = std::make_unique<MprisBridge>(*this);
}

void frmMain::Form_Unload(std::int16_t& /*Cancel*/) {
    // Releasing the component removes the icon at once.
    SysTray.reset();
    // The media controls leave the bus with the window.
    Mpris.reset();
    // Closing is never refused, and nothing runs after it: leaving the event loop would still
    // deliver what is already queued (a tick, an engine message, a tray notification).
    endProgram(0);
}

void frmMain::closeEvent(QCloseEvent* event) {
    std::int16_t cancel = 0;
    dispatch([&] { Form_Unload(cancel); });
    event->accept();
}

void frmMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    dispatch([this] { Form_Resize(); });
}

// Minimising reaches a widget as a window-state change, not as a resize.
void frmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        dispatch([this] { Form_Resize(); });
    }
}

void frmMain::mouseMoveEvent(QMouseEvent* event) {
    const Qt::MouseButtons b = event->buttons();
    const Qt::KeyboardModifiers m = event->modifiers();
    const auto button =
        std::int16_t(((b & Qt::LeftButton) ? 1 : 0) | ((b & Qt::RightButton) ? 2 : 0) |
                     ((b & Qt::MiddleButton) ? 4 : 0));
    const auto shift =
        std::int16_t(((m & Qt::ShiftModifier) ? 1 : 0) | ((m & Qt::ControlModifier) ? 2 : 0) |
                     ((m & Qt::AltModifier) ? 4 : 0));
    const QPointF at = event->position();
    dispatch([&] { Form_MouseMove(button, shift, float(at.x()), float(at.y())); });
}

// A minimised window hides and lives on as its tray icon. Where there is no notification area
// (a desktop without a tray, or a tray host that has gone) hiding would leave no way back, so the
// window then stays minimised in the taskbar.
void frmMain::Form_Resize() {
    if ((windowState() & Qt::WindowMinimized) && SysTray && SysTray->InNotificationArea()) {
        hide();
    }
}

// The tray icon's notifications arrive here as mouse moves with the code in X; ordinary moves
// over the window are passed on the same way, and the component ignores what is not a code.
void frmMain::Form_MouseMove(std::int16_t Button, std::int16_t /*Shift*/, float X, float /*Y*/) {
    // Moves before start-up made the component have nowhere to go.
    if (!SysTray) {
        return;
    }
    SysTray->MouseMove(Button, toLong(X), *this);
}

void frmMain::SysTray_LeftClick() {
    // An ordinary mouse move at x = 514 arrives here too, so only a window coming back from the
    // tray or the taskbar is brought to the front; hovering must not take the focus.
    const bool comingBack = isHidden() || (windowState() & Qt::WindowMinimized);
    setWindowState(Qt::WindowNoState);
    show();
    if (comingBack) {
        raise();
        activateWindow();
    }
}

void frmMain::bringToFront() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void frmMain::cmdPlay_Click() {
    PlayCounter = 0;
    FailCounter = 0;
    PlayFlag = 1;
    lblCounter->setText(QStringLiteral("PLAY"));
    const QString text = comboSourceList->currentText();
    // Typed text meets the rule the list's own lines meet: a control character, or more than
    // the field can hold, would hand on a URL other than the one the user sees. It goes no
    // further; the player control reports why, in the status line, until the next PLAY or STOP.
    if (const QString why = refusalText(sourceLineFault(text)); !why.isEmpty()) {
        WindowsMediaPlayer1->refuse(why);
        lblNowPlaying->setText(QString());
        return;
    }
    const SourceLine source = splitSourceLine(text);
    WindowsMediaPlayer1->setURL(source.url);
    lblNowPlaying->setText(source.name);
    WindowsMediaPlayer1->controls().play();
}

void frmMain::cmdStop_Click() {
    FailCounter = 0;
    PlayFlag = 0;
    lblCounter->setText(QStringLiteral("STOP"));
    WindowsMediaPlayer1->controls().stop();
}

void frmMain::cmdVolUp_Click() {
    stepVolume(+5);
}
void frmMain::cmdVolUpSmall_Click() {
    stepVolume(+1);
}
void frmMain::cmdVolDown_Click() {
    stepVolume(-5);
}
void frmMain::cmdVolDownSmall_Click() {
    stepVolume(-1);
}

// The engine holds the only copy of the volume: read it, step it, write it, and show what the
// engine reports back. Up buttons bound only the top, down buttons only the bottom.
void frmMain::stepVolume(int step) {
    int volume = WindowsMediaPlayer1->settings().volume() + step;
    if (step > 0 && volume > 100) {
        volume = 100;
    }
    if (step < 0 && volume < 0) {
        volume = 0;
    }
    WindowsMediaPlayer1->settings().setVolume(volume);
    showVolume();
}

void frmMain::showVolume() {
    lblVolume->setText(QString::number(WindowsMediaPlayer1->settings().volume()) +
                       QLatin1Char('%'));
}

// Once a second: refresh the labels from the engine, run the stall watchdog, show the elapsed
// time. Every engine value is read by its own call, so each position read may be newer than the
// one before it; each test compares its own read with the position kept from the last tick.
void frmMain::tmrDisplayUpdate_Timer() {
    const QString statusText = WindowsMediaPlayer1->status();
    const bool mediaShown = !isIdleStatus(statusText);
    lblSource->setText(mediaShown ? statusText : QString());
    if (mediaShown) {
        lblURL->setText(WindowsMediaPlayer1->currentMedia().sourceURL());
        lblNowPlaying->setText(WindowsMediaPlayer1->currentMedia().name());
    } else {
        lblURL->setText(QString());
        lblNowPlaying->setText(QString());
    }

    // Stall watchdog. A position that has not moved since the last tick counts one; a position
    // of 0 (nothing playing at all) counts one more; any movement clears the count.
    const double p1 = WindowsMediaPlayer1->controls().currentPosition();
    if (PlayFlag == 1 && p1 == PlayCounter) {
        FailCounter = checkedAdd(FailCounter, 1);
    }
    const double p2 = WindowsMediaPlayer1->controls().currentPosition();
    if (PlayFlag == 1 && p2 == 0) {
        FailCounter = checkedAdd(FailCounter, 1);
    }
    const double p3 = WindowsMediaPlayer1->controls().currentPosition();
    if (PlayFlag == 1 && p3 != PlayCounter) {
        FailCounter = 0;
    }
    PlayCounter = WindowsMediaPlayer1->controls().currentPosition();
    if (FailCounter > 14 && PlayFlag == 1) {
        FailCounter = 0;
        lblCounter->setText(QStringLiteral("RESTARTING"));
        WindowsMediaPlayer1->controls().play();
    }

    const double p5 = WindowsMediaPlayer1->controls().currentPosition();
    const double S = std::floor(p5);
    if (S > 0) {
        lblCounter->setText(elapsedTimeText(S));
    }
    if (S == 0 && PlayFlag == 0) {
        lblCounter->setText(QStringLiteral("STOP"));
    }
}

QString frmMain::elapsedTimeText(double S) {
    const double totalMinutes = std::floor(S / 60);
    const double H = std::floor(S / 3600);
    const double R = S - 60 * totalMinutes;
    const double M = totalMinutes - 60 * H;
    QString text;
    if (H != 0) {
        text = digits(H) + QLatin1Char(':');
    }
    return text + twoDigits(M) + QLatin1Char(':') + twoDigits(R);
}

}  // namespace orvane
