// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRectF>
#include <QRegion>
#include <vector>

#include "engine/MediaBackend.h"

class QPainter;

namespace orvane {

// The player area's display of the sound: one bar per frequency band, low notes on the left.
// The bars follow the measured levels, rising quickly and falling slowly, so the display stays
// calm however the sound jumps.
class SoundBars {
  public:
    // What sounds now; no levels: silence.
    void setLevels(const SoundLevels& levels);
    // Moves the bars `seconds` on towards the levels, as drawn in `area`. Returns what must be
    // drawn again: the bars whose tops moved by a pixel or more.
    QRegion advance(double seconds, const QRectF& area);
    // Nothing shows, and nothing is on its way up.
    bool isFlat() const;
    // Flat at once.
    void clear();
    void paint(QPainter& painter, const QRectF& area) const;

  private:
    QRectF barRect(std::size_t bar, double height, const QRectF& area) const;

    std::vector<float> m_levels;
    std::vector<float> m_heights;
    std::vector<float> m_drawn;  // the heights last drawn, in pixels
    bool m_silent = false;
};

}  // namespace orvane
