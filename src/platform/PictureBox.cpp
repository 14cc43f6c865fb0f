// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/PictureBox.h"

#include <QPainter>

namespace orvane {

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {}

PictureBox::~PictureBox() = default;

void PictureBox::fitSurface() {
    const QImage* current = bitmapSurface(m_image.Handle());
    if (current != nullptr && current->size() == size()) {
        return;
    }
    if (width() <= 0 || height() <= 0) {
        m_image = orvane::Picture();
        return;
    }
    QImage fresh(size(), QImage::Format_RGB32);
    fresh.fill(Qt::white);
    if (current != nullptr) {
        QPainter p(&fresh);
        p.drawImage(0, 0, *current);
    }
    // The old bitmap lives on for as long as Picture still shares it.
    m_image = orvane::Picture::fromBitmap(bitmapFromImage(fresh));
}

orvane::Picture PictureBox::Image() {
    fitSurface();
    return m_image;
}

void PictureBox::setPicture(const orvane::Picture& picture) {
    m_picture = picture;
    update();
}

void PictureBox::draw(const std::function<void(QPainter&)>& paint) {
    fitSurface();
    QImage* surface = bitmapSurface(m_image.Handle());
    if (surface == nullptr) {
        return;
    }
    {
        QPainter p(surface);
        paint(p);
    }
    update();
}

void PictureBox::paintEvent(QPaintEvent*) {
    // The box shows its Picture when it has one, else what has been drawn on it.
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    if (m_picture.type() == orvane::Picture::Type::Icon) {
        p.drawImage(0, 0, imageOfIcon(m_picture.Handle()));
    } else if (m_picture.type() == orvane::Picture::Type::Bitmap) {
        p.drawImage(0, 0, imageOfBitmap(m_picture.Handle()));
    } else if (const QImage* surface = bitmapSurface(m_image.Handle())) {
        p.drawImage(0, 0, *surface);
    }
}

}  // namespace orvane
