// SPDX-License-Identifier: GPL-3.0-or-later
// The window as it stands before any handler runs: its controls, their places, fonts, colours
// and tab order. The handlers live in frmMain.cpp.
#include "app/frmMain.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPixmap>
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

// The window's icon: the 16 x 16 image first, larger ones for the desktop's own use.
QIcon windowIcon16() {
    QIcon icon;
    for (const int size : {16, 32, 48}) {
        // Read as the PNG it is: a reader left to work out the format loads every image-format
        // plug-in installed (GIF, JPEG, ICO ...) to ask each of them.
        QImageReader reader(QStringLiteral(":/icons/orvaneplayer-%1.png").arg(size), "png");
        reader.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(reader.read()));
    }
    return icon;
}

// Selecting a list entry that does not exist is an invalid property value, as on the old form.
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
    // The button row covers the player area from 2400 twips down; the display of the sound
    // keeps above it.
    WindowsMediaPlayer1->setSoundArea(
        QRect(0, 0, WindowsMediaPlayer1->width(), twipsToPixels(2400) - twipsToPixels(1080)));

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
    // A field full to its limit cuts what is pasted beyond it without a word, and Play would
    // then play a shortened URL. One unit of room past the longest line the list accepts keeps
    // any cut text over that limit, so Play refuses it instead.
    comboSourceList->lineEdit()->setMaxLength(int(kMaxSourceLineLength) + 1);
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

}  // namespace orvane
