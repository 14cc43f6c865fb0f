// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/SoundBars.h"

#include <QLinearGradient>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace orvane {

namespace {

// A bar closes half the way to a louder level in 50 ms, and falls from the top to the floor in
// about two thirds of a second.
constexpr double kRiseRate = 14.0;  // per second, exponential
constexpr double kFallPerSecond = 1.5;
// Smaller than a device pixel at any scale the window is shown at.
constexpr float kInvisible = 0.002f;

}  // namespace

void SoundBars::setLevels(const SoundLevels& levels) {
    if (levels.empty()) {
        std::fill(m_levels.begin(), m_levels.end(), 0.0f);
        return;
    }
    m_levels = levels;
    m_heights.resize(m_levels.size(), 0.0f);
}

bool SoundBars::advance(double seconds) {
    bool changed = false;
    const double rise = 1.0 - std::exp(-seconds * kRiseRate);
    const double fall = seconds * kFallPerSecond;
    for (std::size_t i = 0; i < m_heights.size(); ++i) {
        const float target = std::clamp(m_levels[i], 0.0f, 1.0f);
        float& h = m_heights[i];
        const float before = h;
        if (target > h) {
            h += float((target - h) * rise);
            if (target - h < kInvisible) {
                h = target;
            }
        } else {
            h = std::max(target, float(h - fall));
        }
        changed = changed || std::fabs(h - before) >= kInvisible / 2;
    }
    return changed;
}

bool SoundBars::isFlat() const {
    return std::all_of(m_heights.begin(), m_heights.end(),
                       [](float h) { return h < kInvisible; }) &&
           std::all_of(m_levels.begin(), m_levels.end(), [](float l) { return l <= 0.0f; });
}

void SoundBars::clear() {
    m_levels.clear();
    m_heights.clear();
}

void SoundBars::paint(QPainter& p, const QRectF& area) const {
    if (m_heights.empty() || area.isEmpty()) {
        return;
    }
    // Light bars on the dark panel, a little brighter towards the top, with gaps a third as wide
    // as the bars. Sizes are in device-independent pixels, so a scaled screen draws the same
    // picture finer.
    const double pitch = area.width() / double(m_heights.size());
    const double width = pitch * 0.7;
    QLinearGradient shade(area.bottomLeft(), area.topLeft());
    shade.setColorAt(0.0, QColor(150, 150, 150));
    shade.setColorAt(1.0, QColor(235, 235, 235));
    p.setPen(Qt::NoPen);
    p.setBrush(shade);
    for (std::size_t i = 0; i < m_heights.size(); ++i) {
        const double h = m_heights[i] * area.height();
        if (h < kInvisible * area.height()) {
            continue;
        }
        p.drawRect(
            QRectF(area.left() + i * pitch + (pitch - width) / 2, area.bottom() - h, width, h));
    }
}

}  // namespace orvane
