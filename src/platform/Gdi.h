// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QImage>
#include <cstdint>

namespace orvane {

// A small in-memory GDI: monochrome and colour bitmaps, memory device contexts and icons, all
// named by non-zero 32-bit handles from one table (a live object's handle is never given twice).
// The calls keep the old platform's names, arguments and results (0 for a failure, never an
// exception), so code written against them reads as it did there. Only the parts the tray's icon
// building needs are here. Everything runs on the user-interface thread.

using HGDIOBJ = std::uint32_t;
using HBITMAP = std::uint32_t;
using HDC = std::uint32_t;
using HICON = std::uint32_t;
using COLORREF = std::uint32_t;  // 0x00BBGGRR
using BOOL = std::int32_t;

inline constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;
inline constexpr std::uint32_t SRCCOPY = 0x00CC0020;  // destination = source
inline constexpr std::uint32_t SRCAND = 0x008800C6;   // destination = destination AND source

constexpr COLORREF RGB(int r, int g, int b) {
    return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}

struct BITMAP {
    std::int32_t bmType;
    std::int32_t bmWidth;
    std::int32_t bmHeight;
    std::int32_t bmWidthBytes;
    std::uint16_t bmPlanes;
    std::uint16_t bmBitsPixel;
    std::uint32_t bmBits;  // a 32-bit pointer on the old platform; always 0 here
};
static_assert(sizeof(BITMAP) == 24);

struct ICONINFO {
    BOOL fIcon;
    std::uint32_t xHotspot;
    std::uint32_t yHotspot;
    HBITMAP hbmMask;
    HBITMAP hbmColor;
};
static_assert(sizeof(ICONINFO) == 20);

// A memory context starts with a 1 x 1 monochrome stock bitmap selected, white background and
// black text. hdc may be 0 (no device) or another memory context.
HDC CreateCompatibleDC(HDC hdc);
// The bitmap selected at the time is released, not deleted.
BOOL DeleteDC(HDC hdc);
// Selects a bitmap into a memory context and returns the bitmap it replaces. Fails (0) for
// anything but a bitmap, and for a bitmap already selected into another context.
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h);
// Monochrome with 1 plane and 1 bit per pixel, or with 0 and 0; colour with 1 plane and 32 bits
// (0x00RRGGBB words). Rows of lpBits are padded to 16 bits. Without lpBits the pixels are 0.
// Other depths and empty sizes fail.
HBITMAP CreateBitmap(int nWidth, int nHeight, std::uint32_t nPlanes, std::uint32_t nBitCount,
                     const void* lpBits);
// Fills a BITMAP for a bitmap handle and returns the bytes written (24), or the size needed when
// pv is null. Any other handle gives 0.
int GetObjectA(HGDIOBJ h, int c, void* pv);
// Both return the colour they replace, or CLR_INVALID.
COLORREF SetBkColor(HDC hdc, COLORREF color);
COLORREF SetTextColor(HDC hdc, COLORREF color);
// SRCCOPY and SRCAND between the bitmaps selected into two contexts, clipped to both. Colour to
// monochrome: a pixel equal to the source's background colour gives 1, any other 0. Monochrome to
// colour: 0 takes the destination's text colour, 1 its background colour.
BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, std::uint32_t rop);
// A colour icon of hbmColor's size. The AND mask (monochrome) is laid over it from the top left:
// where it holds 1 the icon is transparent; outside the mask the icon is opaque. Both bitmaps are
// copied and stay the caller's.
HICON CreateIconIndirect(const ICONINFO* piconinfo);
BOOL DestroyIcon(HICON hIcon);
// Deletes a bitmap that is not selected into a context. Stock objects are left alone.
BOOL DeleteObject(HGDIOBJ h);

// Our additions, between the table and Qt.
enum class GdiKind { Bitmap, DC, Icon };
// Live objects of a kind, stock objects not counted.
int gdiObjectCount(GdiKind kind);
// A new colour bitmap holding a copy of the image's pixels (alpha dropped); 0 for a null image.
HBITMAP bitmapFromImage(const QImage& image);
// A copy of a bitmap's pixels: Format_RGB32 for colour, Format_Mono (index 0 black, 1 white) for
// monochrome; a null image for anything else.
QImage imageOfBitmap(HBITMAP h);
// The pixels of a colour bitmap themselves, for a QPainter; null for anything else. Valid until
// the bitmap is deleted.
QImage* bitmapSurface(HBITMAP h);
// A new icon with a copy of the image, alpha included; 0 for a null image.
HICON iconFromImage(const QImage& image);
// A copy of an icon's pixels in Format_ARGB32; a null image for anything else.
QImage imageOfIcon(HICON h);

}  // namespace orvane
