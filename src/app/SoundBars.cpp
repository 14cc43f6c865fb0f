// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SoundBars.h"

#include <QLinearGradient>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace orvane {

namespace {

// A bar closes half the way to a louder level in 50 ms, and falls from the top to the floor in
// about two thirds of a second, twice as fast once the sound has stopped.
constexpr double kRiseRate = 14.0;  // per second, exponential
constexpr double kFallPerSecond = 1.5;
// Closer than this to its level, a bar has arrived.
constexpr float kInvisible = 0.002f;

}  // namespace

void SoundBars::setLevels(const SoundLevels& levels) {
    m_silent = levels.empty();
    if (m_silent) {
        std::fill(m_levels.begin(), m_levels.end(), 0.0f);
        return;
    }
    m_levels = levels;
    m_heights.resize(m_levels.size(), 0.0f);
}

QRegion SoundBars::advance(double seconds, const QRectF& area) {
    QRegion dirty;
    const double rise = 1.0 - std::exp(-seconds * kRiseRate);
    const double fall = seconds * kFallPerSecond * (m_silent ? 2 : 1);
    m_drawn.resize(m_heights.size(), 0.0f);
    for (std::size_t i = 0; i < m_heights.size(); ++i) {
        const float target = std::clamp(m_levels[i], 0.0f, 1.0f);
        float& h = m_heights[i];
        if (target > h) {
            h += float((target - h) * rise);
            if (target - h < kInvisible) {
                h = target;
            }
        } else {
            h = std::max(target, float(h - fall));
        }
        // Moves of less than a pixel are not worth a frame; the bar catches up with the next.
        const float pixels = h * float(area.height());
        if (std::fabs(pixels - m_drawn[i]) >= 1.0f || (pixels < 0.5f && m_drawn[i] > 0.0f)) {
            const double top = std::max(pixels, m_drawn[i]);
            const double bottom = std::min(pixels, m_drawn[i]);
            // From the lower top to the higher, and a pixel more on every side for the
            // anti-aliased edges.
            dirty += barRect(i, top, area).adjusted(-1, -1, 1, 1 - bottom).toAlignedRect();
            m_drawn[i] = pixels < 0.5f ? 0.0f : pixels;
        }
    }
    return dirty;
}

bool SoundBars::isFlat() const {
    return std::all_of(m_heights.begin(), m_heights.end(),
                       [](float h) { return h < kInvisible; }) &&
           std::all_of(m_levels.begin(), m_levels.end(), [](float l) { return l <= 0.0f; });
}

void SoundBars::clear() {
    m_levels.clear();
    m_heights.clear();
    m_drawn.clear();
}

// Light bars on the dark panel with gaps half as wide as the bars, standing on the area's bottom
// edge. Sizes are in device-independent pixels, so a scaled screen draws the same picture finer.
QRectF SoundBars::barRect(std::size_t bar, double height, const QRectF& area) const {
    const double pitch = area.width() / double(m_heights.size());
    const double width = pitch * 2 / 3;
    return QRectF(area.left() + double(bar) * pitch + (pitch - width) / 2, area.bottom() - height,
                  width, height);
}

void SoundBars::paint(QPainter& p, const QRectF& area) const {
    if (m_heights.empty() || area.isEmpty()) {
        return;
    }
    // A little brighter towards the top.
    QLinearGradient shade(area.bottomLeft(), area.topLeft());
    shade.setColorAt(0.0, QColor(150, 150, 150));
    shade.setColorAt(1.0, QColor(235, 235, 235));
    p.setPen(Qt::NoPen);
    p.setBrush(shade);
    for (std::size_t i = 0; i < m_heights.size(); ++i) {
        const double h = double(m_heights[i]) * area.height();
        if (h >= 0.5) {
            p.drawRect(barRect(i, h, area));
        }
    }
}

}  // namespace orvane
