// SPDX-License-Identifier: GPL-3.0-or-later
#include "tray/IconFromPicture.h"

#include "platform/PictureBox.h"
#include "tray/clsSysTray.h"

namespace orvane {

namespace trayicon {

namespace {

constexpr int kMaskSize = 32;
constexpr BOOL kTrue = -1;  // all bits set

HICON iconOf(HBITMAP mask, HBITMAP colour) {
    ICONINFO info{};
    info.fIcon = kTrue;
    info.xHotspot = 0;
    info.yHotspot = 0;
    info.hbmMask = mask;
    info.hbmColor = colour;
    return CreateIconIndirect(&info);
}

}  // namespace

HICON IconFromBitmap(HBITMAP hbm) {
    BITMAP bm{};
    if (GetObjectA(hbm, int(sizeof(bm)), &bm) == 0) {
        return 0;
    }
    // Planes 0 and 0 bits per pixel: a monochrome mask with every bit 0, so the icon is opaque.
    const HBITMAP mask = CreateBitmap(bm.bmWidth, bm.bmHeight, 0, 0, nullptr);
    const HICON icon = iconOf(mask, hbm);
    DeleteObject(mask);
    return icon;
}

HICON IconFromBitmapTransparent(HBITMAP hbm, COLORREF colour) {
    const HDC source = CreateCompatibleDC(0);
    const HDC maskDc = CreateCompatibleDC(0);
    HBITMAP mask = 0;
    const HGDIOBJ oldSource = SelectObject(source, hbm);
    if (oldSource != 0) {
        mask = MakeMask(source, colour);
        const HGDIOBJ oldMask = SelectObject(maskDc, mask);
        if (oldMask != 0) {
            // Monochrome into colour: 0 bits take the text colour, 1 bits the background. ANDing
            // white keeps a pixel; ANDing black blackens it where the mask marks the colour, so
            // those pixels show what lies under the icon.
            SetTextColor(source, RGB(255, 255, 255));
            SetBkColor(source, RGB(0, 0, 0));
            BitBlt(source, 0, 0, kMaskSize, kMaskSize, maskDc, 0, 0, SRCAND);
            SelectObject(maskDc, oldMask);
        }
        SelectObject(source, oldSource);
    }
    DeleteDC(maskDc);
    DeleteDC(source);
    // Without a mask no icon is made.
    const HICON icon = iconOf(mask, hbm);
    DeleteObject(mask);
    return icon;
}

HBITMAP MakeMask(HDC hdc, COLORREF colour) {
    const HDC memory = CreateCompatibleDC(hdc);
    if (memory == 0) {
        return 0;
    }
    const HBITMAP bitmap = CreateBitmap(kMaskSize, kMaskSize, 1, 1, nullptr);
    if (bitmap == 0) {
        DeleteDC(memory);
        return 0;
    }
    const HGDIOBJ old = SelectObject(memory, bitmap);
    if (old == 0) {
        DeleteObject(bitmap);
        DeleteDC(memory);
        return 0;
    }
    // Colour into monochrome: pixels equal to the source's background colour give 1.
    const COLORREF oldColour = SetBkColor(hdc, colour);
    const HBITMAP result =
        BitBlt(memory, 0, 0, kMaskSize, kMaskSize, hdc, 0, 0, SRCCOPY) != 0 ? bitmap : 0;
    SetBkColor(hdc, oldColour);
    SelectObject(memory, old);
    if (result == 0) {
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    return result;
}

}  // namespace trayicon

void clsSysTray::DrawIcon(PictureBox& ppic, const std::int32_t& plngTransparentColor) {
    ppic.setAutoRedraw(true);
    ppic.setPicture(ppic.Image());
    const HBITMAP picture = ppic.Picture().Handle();
    const HICON icon = plngTransparentColor >= 0 ? trayicon::IconFromBitmapTransparent(
                                                       picture, COLORREF(plngTransparentColor))
                                                 : trayicon::IconFromBitmap(picture);
    mudtNotifyIcon.hIcon = icon;
    if (icon != 0) {
        // The shell copies the icon's pixels, so ours can go at once.
        UpdateIcon();
        DestroyIcon(icon);
    }
}

}  // namespace orvane
