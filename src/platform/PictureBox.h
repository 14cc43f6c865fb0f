// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <functional>

#include "platform/Picture.h"

class QPainter;

namespace orvane {

// The form engine's picture box: a control with a persistent drawing surface. Image is that
// surface as a bitmap picture the size of the box (an empty picture while the box has no area);
// Picture is the picture the box shows. Setting Picture to Image shares the surface's bitmap,
// so whatever is later done to the picture's bitmap is done to the drawing too.
//
// Drawing with draw() always lands on the surface. The old engine kept drawings only while
// AutoRedraw was on; here they are always kept, and AutoRedraw is recorded for code that sets it.
class PictureBox : public QWidget {
    Q_OBJECT
  public:
    explicit PictureBox(QWidget* parent = nullptr);
    ~PictureBox() override;

    bool AutoRedraw() const { return m_autoRedraw; }
    void setAutoRedraw(bool on) { m_autoRedraw = on; }

    orvane::Picture Image();
    orvane::Picture Picture() const { return m_picture; }
    void setPicture(const orvane::Picture& picture);

    // Runs `paint` with a QPainter on the surface; nothing happens while the box has no area.
    void draw(const std::function<void(QPainter&)>& paint);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    // Makes the surface match the box's size, keeping what was drawn (new area is white).
    void fitSurface();

    bool m_autoRedraw = false;
    orvane::Picture m_image;
    orvane::Picture m_picture;
};

}  // namespace orvane
