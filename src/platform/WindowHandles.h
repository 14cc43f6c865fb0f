// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

#include "platform/Picture.h"

class QWidget;

namespace orvane {

// Window handles: non-zero 32-bit numbers that name our windows to code written against the old
// platform (the notification area sends an icon's notifications to a window by handle). A window
// gets its handle the first time one is asked for and keeps it until it is destroyed; no two
// live windows share a handle, and a gone window's handle comes round again only after 2^31
// more windows.
std::uint32_t hWndOf(QWidget& window);

// The window with that handle, or nullptr once it has been destroyed (or for any other number).
QWidget* windowFromHWnd(std::uint32_t hWnd);

// The window's Icon: its 16 x 16 icon image as an icon in the GDI table. The picture belongs to
// the window (callers never destroy its handle); it is made again when the window's icon
// changes, and it goes with the window. A window without an icon gives an empty picture.
Picture windowIconPicture(QWidget& window);

}  // namespace orvane
