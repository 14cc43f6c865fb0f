// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

#include "platform/Gdi.h"

// The GDI steps behind clsSysTray::DrawIcon, kept apart so that each can be checked on its own.
// Every one of them cleans up after itself: on failure the result is 0 and every object it made
// is gone; on success only the result is left, and it is the caller's.
namespace orvane::trayicon {

// An icon of the bitmap's own size with an all-opaque mask; 0 when the bitmap cannot be read.
HICON IconFromBitmap(HBITMAP hbm);

// An icon whose top-left 32 x 32 pixels of `colour` are transparent. Those pixels are blackened
// in the bitmap itself. 0 when the bitmap cannot be selected into a context (for instance while
// it is selected into another one).
HICON IconFromBitmapTransparent(HBITMAP hbm, COLORREF colour);

// A monochrome 32 x 32 bitmap with 1 where the top-left 32 x 32 pixels of the bitmap selected
// into `hdc` equal `colour`, 0 elsewhere; 0 on failure. The context's background colour is put
// back as it was.
HBITMAP MakeMask(HDC hdc, COLORREF colour);

}  // namespace orvane::trayicon
