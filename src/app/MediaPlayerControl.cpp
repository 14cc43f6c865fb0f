// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MediaPlayerControl.h"

#include <QEvent>
#include <QPainter>
#include <QWindow>
#include <algorithm>

namespace orvane {

namespace {

const QColor kPanel(24, 24, 24);
const QColor kFocusFrame(90, 90, 90);
// Twenty frames a second while the bars fall; while they move, one for each of the engine's
// measurements, fifteen a second.
constexpr int kFrameMs = 50;
// The engine measures every 67 ms while sound plays. When nothing has come for this long the
// audio has run out (a stalled stream that has played what it had), and the bars fall.
constexpr int kQuietMs = 250;
// Room between the bars and the edges of the free area, in device-independent pixels.
constexpr int kMarginX = 10;
constexpr int kMarginTop = 8;
constexpr int kMarginBottom = 6;

}  // namespace

MediaPlayerControl::MediaPlayerControl(std::unique_ptr<MediaBackend> backend, QWidget* parent)
    : QWidget(parent), m_backend(std::move(backend)) {
    // The control takes keyboard focus like the old embedded player did; it is first in the
    // window's tab order.
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_frames = new QTimer(this);
    m_frames->setObjectName(QStringLiteral("soundFrames"));
    connect(m_frames, &QTimer::timeout, this, [this] { onFrame(); });
}

MediaPlayerControl::~MediaPlayerControl() {
    // The engine outlives this body (it is a member): it must not call back into a control
    // that is half gone.
    m_backend->setSoundListener({});
}

void MediaPlayerControl::setSoundArea(const QRect& area) {
    m_soundArea = area;
    update();
}

QRectF MediaPlayerControl::barsArea() const {
    const QRect free = m_soundArea.isNull() ? rect() : m_soundArea;
    return QRectF(free.adjusted(kMarginX, kMarginTop, -kMarginX, -kMarginBottom));
}

void MediaPlayerControl::setURL(const QString& url) {
    m_refusal.clear();
    m_backend->setURL(url);
}

QString MediaPlayerControl::status() const {
    return refused() ? QStringLiteral("Error: ") + m_refusal : m_backend->status();
}

void MediaPlayerControl::refuse(const QString& reason) {
    m_backend->stop();
    m_refusal = reason;
}

void MediaPlayerControl::play() {
    if (!refused()) {
        m_backend->play();
    }
}

void MediaPlayerControl::stop() {
    m_refusal.clear();
    m_backend->stop();
}

void MediaPlayerControl::paintEvent(QPaintEvent*) {
    // A dark panel with the sound drawn in light bars, and a thin frame that shows when the
    // control has focus.
    QPainter p(this);
    p.fillRect(rect(), kPanel);
    p.setRenderHint(QPainter::Antialiasing);
    m_bars.paint(p, barsArea());
    p.setRenderHint(QPainter::Antialiasing, false);
    if (hasFocus()) {
        p.setPen(kFocusFrame);
        p.setBrush(Qt::NoBrush);
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void MediaPlayerControl::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Minimising and covering show on the window, not on this control.
    QWidget* top = window();
    if (top != this) {
        top->installEventFilter(this);
    }
    if (QWindow* handle = top->windowHandle()) {
        handle->installEventFilter(this);
    }
    followVisibility();
}

void MediaPlayerControl::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    followVisibility();
}

bool MediaPlayerControl::eventFilter(QObject* watched, QEvent* event) {
    // A window the desktop has unmapped is no longer exposed; so is, on desktops that tell, one
    // that other windows cover entirely (Qt's X11 support does not ask the X server for that).
    if (event->type() == QEvent::Expose || event->type() == QEvent::WindowStateChange) {
        followVisibility();
    }
    return QWidget::eventFilter(watched, event);
}

bool MediaPlayerControl::canBeSeen() const {
    const QWidget* top = window();
    const QWindow* handle = top->windowHandle();
    return isVisible() && !(top->windowState() & Qt::WindowMinimized) && handle &&
           handle->isExposed();
}

void MediaPlayerControl::followVisibility() {
    const bool seen = canBeSeen();
    if (seen == m_listening) {
        return;
    }
    m_listening = seen;
    if (seen) {
        m_backend->setSoundListener([this](const SoundLevels& levels) { onSound(levels); });
        return;
    }
    m_backend->setSoundListener({});
    m_frames->stop();
    m_bars.clear();  // when it is seen again, it starts flat
    m_quiet = true;
    m_frameClock.invalidate();
}

void MediaPlayerControl::onSound(const SoundLevels& levels) {
    const bool wasFlat = m_bars.isFlat();
    m_bars.setLevels(levels);
    if (wasFlat && m_bars.isFlat()) {
        return;  // silence goes on: nothing to draw, nothing to wait for
    }
    if (levels.empty()) {
        m_quiet = true;  // falls on its own frames
        m_frames->start(kFrameMs);
        return;
    }
    // While the sound comes, each measurement draws a frame, in step with what is heard; the
    // timer only wakes when the measurements stop (the audio has run out) and lets the bars fall.
    m_quiet = false;
    frame();
    m_frames->start(kQuietMs);
}

void MediaPlayerControl::onFrame() {
    if (!m_quiet) {
        m_quiet = true;
        m_bars.setLevels({});
        m_frames->start(kFrameMs);
    }
    frame();
    if (m_bars.isFlat()) {
        m_frames->stop();
    }
}

void MediaPlayerControl::frame() {
    // A frame after a pause, or late on a busy machine, moves the bars as far as the time that
    // passed, up to a fifth of a second.
    qint64 ms = kFrameMs;
    if (m_frameClock.isValid()) {
        ms = std::min<qint64>(m_frameClock.restart(), 200);
    } else {
        m_frameClock.start();
    }
    const double seconds = ms / 1000.0;
    if (const QRegion dirty = m_bars.advance(seconds, barsArea()); !dirty.isEmpty()) {
        update(dirty);
    }
}

}  // namespace orvane
