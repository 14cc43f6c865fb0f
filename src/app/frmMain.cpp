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

const QColor kGrey(128, 128, 128);
const QColor kBlack(0, 0, 0);
const QColor kWhite(255, 255, 255);

// "MS Sans Serif" and "Courier New" are not on a Linux desktop; the first family found wins and
// the style hint covers the rest.
QFont sansFont(bool bold) {
    QFont f;
    f.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                   QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(8.25);
    f.setBold(bold);
    return f;
}

// lblCounter is 65 pixels wide and must hold "RESTARTING" whole: a narrow face of the same kind,
// size and weight does, where the wider desktop faces would cut it.
QFont narrowSansFont() {
    QFont f = sansFont(true);
    f.setFamilies({QStringLiteral("Nimbus Sans Narrow"), QStringLiteral("Liberation Sans Narrow"),
                   QStringLiteral("Arial Narrow"), QStringLiteral("DejaVu Sans Condensed")});
    return f;
}

QFont monoFont(qreal points) {
    QFont f;
    f.setFamilies({QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"),
                   QStringLiteral("DejaVu Sans Mono")});
    f.setStyleHint(QFont::Monospace);
    f.setFixedPitch(true);
    f.setPointSizeF(points);
    return f;
}

// A transparent label draws only its text (white) over whatever lies beneath it. Texts are shown
// literally: a stream title is data, never markup or an access key.
QLabel* textLabel(QWidget* parent, const char* name, QRect geometry, const QString& text,
                  const QFont& font, Qt::Alignment alignment) {
    auto* l = new QLabel(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(geometry);
    l->setTextFormat(Qt::PlainText);
    l->setText(text);
    l->setFont(font);
    l->setAlignment(alignment | Qt::AlignTop);
    l->setWordWrap(false);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, kWhite);
    l->setPalette(p);
    // Labels were windowless on the old form: mouse moves over them belong to the window.
    l->setAttribute(Qt::WA_TransparentForMouseEvents);
    return l;
}

// An opaque label used as a coloured panel.
QLabel* panelLabel(QWidget* parent, const char* name, QRect geometry, const QColor& colour) {
    auto* l = new QLabel(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(geometry);
    l->setTextFormat(Qt::PlainText);
    l->setAutoFillBackground(true);
    QPalette p = l->palette();
    p.setColor(QPalette::Window, colour);
    l->setPalette(p);
    l->setAttribute(Qt::WA_TransparentForMouseEvents);
    return l;
}

QPushButton* button(QWidget* parent, const char* name, QRect geometry, const QString& caption) {
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(geometry);
    // Enter and Escape press no button.
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

// Each addition to the watchdog's counter is checked like the old run time did.
double checkedAdd(double value, double step) {
    const double r = value + step;
    if (!std::isfinite(r)) {
        throw RuntimeError(err::Overflow);
    }
    return r;
}

// The engine's idle texts. Everything else it says ("Connecting", "Reconnecting", "Error: ...")
// is shown as it is.
bool isIdleStatus(const QString& status) {
    return status == QLatin1String("Stopped") || status.isEmpty();
}

// Decimal digits of a whole number: no sign, no blank, no decimal point.
QString digits(double wholeNumber) {
    return QString::number(std::fabs(wholeNumber), 'f', 0);
}

QString twoDigits(double wholeNumber) {
    return (QStringLiteral("000") + digits(wholeNumber)).right(2);
}

// The window's icon: the 16 x 16 image first, larger ones for the desktop's own use.
QIcon windowIcon16() {
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        icon.addFile(QStringLiteral(":/icons/orvaneplayer-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

// Selecting a list entry that does not exist is an invalid property value, as on the old form.
void setListIndex(QComboBox* list, int index) {
    if (index < 0 || index >= list->count()) {
        throw RuntimeError(err::InvalidPropertyValue);
    }
    list->setCurrentIndex(index);
}

}  // namespace

frmMain::frmMain(std::unique_ptr<MediaBackend> engine, QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Orvane Player"));
    setWindowIcon(windowIcon16());
    resize(twipsToPixels(9735), twipsToPixels(4140));
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kGrey);
    setPalette(pal);
    setFont(sansFont(false));
    // The tray icon's notifications arrive as mouse moves without a button held.
    setMouseTracking(true);

    // Labels first, bottom of the stacking order, so that every label lies beneath every other
    // control; within each layer a later control is drawn over an earlier one.
    const auto centre = Qt::AlignHCenter;
    lblBackground1 = panelLabel(this, "lblBackground1", twipsRect(120, 120, 9495, 855), kBlack);
    lblSource = textLabel(this, "lblSource", twipsRect(240, 720, 9255, 255),
                          QStringLiteral("NO SOURCE SELECTED"), monoFont(6.75), centre);
    Label1 = panelLabel(this, "Label1", twipsRect(0, 2280, 12375, 2055), kGrey);
    lblVolume = textLabel(this, "lblVolume", twipsRect(8880, 720, 615, 375), QStringLiteral("100%"),
                          sansFont(true), Qt::AlignRight);
    lblNowPlaying = textLabel(this, "lblNowPlaying", twipsRect(240, 240, 9255, 255),
                              QStringLiteral("READY"), sansFont(true), centre);
    lblURL = textLabel(this, "lblURL", twipsRect(240, 480, 9255, 255),
                       QStringLiteral("NO URL SELECTED"), monoFont(8.25), centre);
    lblCopyright = textLabel(this, "lblCopyright", twipsRect(120, 3840, 9495, 255),
                             QStringLiteral("Orvane Player"), sansFont(true), centre);
    lblCounter = textLabel(this, "lblCounter", twipsRect(240, 720, 975, 375),
                           QStringLiteral("STOP"), narrowSansFont(), Qt::AlignLeft);

    WindowsMediaPlayer1 = new MediaPlayerControl(std::move(engine), this);
    WindowsMediaPlayer1->setObjectName(QStringLiteral("WindowsMediaPlayer1"));
    WindowsMediaPlayer1->setGeometry(twipsRect(120, 1080, 9495, 2175));

    const QString up = QStringLiteral("/\\");
    const QString down = QStringLiteral("\\/");
    cmdStop = button(this, "cmdStop", twipsRect(2520, 2400, 2295, 855), QStringLiteral("STOP"));
    cmdPlay = button(this, "cmdPlay", twipsRect(120, 2400, 2295, 855), QStringLiteral("PLAY"));
    cmdVolUp = button(this, "cmdVolUp", twipsRect(7320, 2400, 1815, 855), up);

    comboSourceList = new QComboBox(this);
    comboSourceList->setObjectName(QStringLiteral("comboSourceList"));
    comboSourceList->setGeometry(twipsRect(120, 3360, 9495, 315));
    comboSourceList->setEditable(true);
    // Typed text is played as typed: it is neither added to the list nor completed from it.
    comboSourceList->setInsertPolicy(QComboBox::NoInsert);
    comboSourceList->setCompleter(nullptr);
    // The list may hold a hundred thousand entries: every row is one line of text, so the view
    // need not measure each one, and the list's own size is fixed, so nor does the list.
    comboSourceList->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    if (auto* rows = qobject_cast<QListView*>(comboSourceList->view())) {
        rows->setUniformItemSizes(true);
    }
    comboSourceList->setEditText(QStringLiteral("Select Source:"));

    cmdVolDownSmall = button(this, "cmdVolDownSmall", twipsRect(4920, 2400, 495, 855), down);
    cmdVolUpSmall = button(this, "cmdVolUpSmall", twipsRect(9120, 2400, 495, 855), up);
    cmdVolDown = button(this, "cmdVolDown", twipsRect(5400, 2400, 1815, 855), down);

    setTabOrder(WindowsMediaPlayer1, cmdStop);
    setTabOrder(cmdStop, cmdPlay);
    setTabOrder(cmdPlay, cmdVolDown);
    setTabOrder(cmdVolDown, cmdVolUp);
    setTabOrder(cmdVolUp, comboSourceList);
    setTabOrder(comboSourceList, cmdVolDownSmall);
    setTabOrder(cmdVolDownSmall, cmdVolUpSmall);
    WindowsMediaPlayer1->setFocus();
    nameControlsForScreenReaders(*this);

    auto bind = [this](QPushButton* b, void (frmMain::*handler)()) {
        connect(b, &QPushButton::clicked, this,
                [this, handler] { dispatch([&] { (this->*handler)(); }); });
    };
    bind(cmdPlay, &frmMain::cmdPlay_Click);
    bind(cmdStop, &frmMain::cmdStop_Click);
    bind(cmdVolUp, &frmMain::cmdVolUp_Click);
    bind(cmdVolUpSmall, &frmMain::cmdVolUpSmall_Click);
    bind(cmdVolDown, &frmMain::cmdVolDown_Click);
    bind(cmdVolDownSmall, &frmMain::cmdVolDownSmall_Click);

    tmrDisplayUpdate = new QTimer(this);
    tmrDisplayUpdate->setObjectName(QStringLiteral("tmrDisplayUpdate"));
    tmrDisplayUpdate->setInterval(1000);
    connect(tmrDisplayUpdate, &QTimer::timeout, this,
            [this] { dispatch([this] { tmrDisplayUpdate_Timer(); }); });
    tmrDisplayUpdate->start();
}

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

void frmMain::cmdPlay_Click() {
    PlayCounter = 0;
    FailCounter = 0;
    PlayFlag = 1;
    lblCounter->setText(QStringLiteral("PLAY"));
    const SourceLine source = splitSourceLine(comboSourceList->currentText());
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
