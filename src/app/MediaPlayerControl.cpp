// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MediaPlayerControl.h"

#include <QPainter>

namespace orvane {

MediaPlayerControl::MediaPlayerControl(std::unique_ptr<MediaBackend> backend, QWidget* parent)
    : QWidget(parent), m_backend(std::move(backend)) {
    // The control takes keyboard focus like the old embedded player did; it is first in the
    // window's tab order.
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

MediaPlayerControl::~MediaPlayerControl() = default;

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
    // Audio only: a plain dark panel, with a thin frame that shows when the control has focus.
    QPainter p(this);
    p.fillRect(rect(), QColor(24, 24, 24));
    if (hasFocus()) {
        p.setPen(QColor(90, 90, 90));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

}  // namespace orvane
