// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>

namespace orvane {

// Layouts are given in twips; 15 twips are one device-independent pixel, so every control lands
// on whole pixels and Qt scales the rest on high-density screens.
constexpr int kTwipsPerPixel = 15;

constexpr int twipsToPixels(int twips) {
    return twips / kTwipsPerPixel;
}

constexpr QRect twipsRect(int left, int top, int width, int height) {
    return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                 twipsToPixels(height));
}

}  // namespace orvane
