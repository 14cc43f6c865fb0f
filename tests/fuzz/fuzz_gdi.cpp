// SPDX-License-Identifier: GPL-3.0-or-later
// The GDI table driven by arbitrary call sequences: each input is a list of calls with their
// arguments, on handles the sequence made, stale ones, stock ones or made-up numbers. The tray's
// own icon-building steps are among the calls. After the sequence everything it made is freed
// and the live-object counts must be back where they started: a call that fails halfway must
// not leave objects behind.
#include <QImage>
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FuzzInput.h"
#include "platform/Gdi.h"
#include "tray/IconFromPicture.h"

using namespace orvane;

namespace {

struct Made {
    std::vector<HDC> dcs;
    std::vector<HBITMAP> bitmaps;
    std::vector<HICON> icons;
    int large = 0;  // bitmaps asked for with a large side; a few are enough
};

// Mostly a handle the sequence made (possibly freed since), sometimes 0 or any number.
std::uint32_t pick(fuzz::FuzzInput& in, const std::vector<std::uint32_t>& pool) {
    const std::uint8_t b = in.byte();
    if (b < 200 && !pool.empty()) {
        return pool[b % pool.size()];
    }
    if (b < 230) {
        return 0;
    }
    return in.u32();
}

std::uint32_t anyHandle(fuzz::FuzzInput& in, const Made& m) {
    switch (in.byte() % 3) {
        case 0:
            return pick(in, m.dcs);
        case 1:
            return pick(in, m.bitmaps);
        default:
            return pick(in, m.icons);
    }
}

// Small sizes mostly, and the edges of what CreateBitmap accepts. Only one side is ever large,
// so that a sequence stays cheap while still reaching the size checks.
int side(fuzz::FuzzInput& in, bool allowLarge) {
    const std::uint8_t b = in.byte();
    if (b < 240 || !allowLarge) {
        return int(b % 70) - 3;  // -3 .. 66: empty, negative and ordinary sizes
    }
    static constexpr int kEdges[] = {16383, 16384, 16385, INT_MAX, INT_MIN, 65536, -65536, 1 << 30};
    return kEdges[b % std::size(kEdges)];
}

int coordinate(fuzz::FuzzInput& in) {
    const std::uint8_t b = in.byte();
    if (b >= 250) {
        return b % 2 == 0 ? INT_MAX : INT_MIN;
    }
    return int(b % 100) - 20;
}

void createBitmap(fuzz::FuzzInput& in, Made& m) {
    const bool wide = in.flag();
    const bool allowLarge = m.large < 4;
    const int w = side(in, allowLarge && wide);
    const int h = side(in, allowLarge && !wide);
    m.large += (w > 66 || h > 66) ? 1 : 0;
    std::uint32_t planes = 1;
    std::uint32_t bits = 32;
    switch (in.byte() % 5) {
        case 0:
            bits = 1;
            break;
        case 1:
            planes = 0;
            bits = 0;
            break;
        case 2:
            break;
        default:
            planes = in.byte() % 3;
            bits = in.byte();
            break;
    }
    std::vector<std::uint8_t> pixels;
    const bool withBits = in.flag();
    if (withBits && w > 0 && h > 0 && qint64(w) * h <= qint64(16384) * 66) {
        // Exactly what the documented layout needs, so that a read past it is caught.
        const bool mono = bits <= 1;
        const qint64 rowBytes = mono ? ((qint64(w) + 15) / 16) * 2 : qint64(w) * 4;
        pixels.resize(std::size_t(rowBytes * h));
        const std::uint8_t seed = in.byte();
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = std::uint8_t(seed + i * 37);
        }
    }
    if (const HBITMAP b =
            CreateBitmap(w, h, planes, bits, pixels.empty() ? nullptr : pixels.data())) {
        m.bitmaps.push_back(b);
    }
}

void record(std::vector<std::uint32_t>& pool, std::uint32_t h) {
    if (h != 0) {
        pool.push_back(h);
    }
}

COLORREF colour(fuzz::FuzzInput& in) {
    switch (in.byte() % 4) {
        case 0:
            return RGB(0, 0, 0);
        case 1:
            return RGB(255, 255, 255);
        case 2:
            return CLR_INVALID;
        default:
            return in.u32();
    }
}

QImage image(fuzz::FuzzInput& in) {
    static constexpr QImage::Format kFormats[] = {QImage::Format_ARGB32, QImage::Format_RGB32,
                                                  QImage::Format_Mono, QImage::Format_Indexed8,
                                                  QImage::Format_RGB16};
    const int w = in.byte() % 40;
    const int h = in.byte() % 40;
    QImage img(w, h, kFormats[in.byte() % std::size(kFormats)]);
    if (!img.isNull()) {
        if (img.format() == QImage::Format_Indexed8 || img.format() == QImage::Format_Mono) {
            img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        }
        img.fill(in.byte() % 2);
    }
    return img;
}

// The tray's helpers promise to leave nothing but their result behind.
template <typename F>
std::uint32_t leavesOnlyResult(F&& step, GdiKind resultKind) {
    const int bitmaps = gdiObjectCount(GdiKind::Bitmap);
    const int dcs = gdiObjectCount(GdiKind::DC);
    const int icons = gdiObjectCount(GdiKind::Icon);
    const std::uint32_t result = step();
    const int made = result != 0 ? 1 : 0;
    fuzz::check(gdiObjectCount(GdiKind::Bitmap) == bitmaps + (resultKind == GdiKind::Bitmap) * made,
                "a tray step leaves no bitmap behind");
    fuzz::check(gdiObjectCount(GdiKind::DC) == dcs, "a tray step leaves no context behind");
    fuzz::check(gdiObjectCount(GdiKind::Icon) == icons + (resultKind == GdiKind::Icon) * made,
                "a tray step leaves no icon behind");
    return result;
}

void step(fuzz::FuzzInput& in, Made& m) {
    switch (in.byte() % 17) {
        case 0:
            record(m.dcs, CreateCompatibleDC(in.flag() ? 0 : pick(in, m.dcs)));
            break;
        case 1:
            createBitmap(in, m);
            break;
        case 2: {
            const HDC dc = pick(in, m.dcs);
            (void)SelectObject(dc, anyHandle(in, m));
            break;
        }
        case 3:
            (void)DeleteObject(anyHandle(in, m));
            break;
        case 4:
            (void)DeleteDC(anyHandle(in, m));
            break;
        case 5: {
            const HDC dst = pick(in, m.dcs);
            const int x = coordinate(in);
            const int y = coordinate(in);
            const int cx = coordinate(in);
            const int cy = coordinate(in);
            const HDC src = pick(in, m.dcs);
            const int x1 = coordinate(in);
            const int y1 = coordinate(in);
            const std::uint32_t rop = in.flag() ? SRCCOPY : in.flag() ? SRCAND : in.u32();
            (void)BitBlt(dst, x, y, cx, cy, src, x1, y1, rop);
            break;
        }
        case 6: {
            ICONINFO info{};
            info.fIcon = in.flag();
            info.xHotspot = in.byte();
            info.yHotspot = in.byte();
            info.hbmMask = pick(in, m.bitmaps);
            info.hbmColor = pick(in, m.bitmaps);
            record(m.icons, CreateIconIndirect(in.flag() ? &info : nullptr));
            break;
        }
        case 7:
            (void)DestroyIcon(anyHandle(in, m));
            break;
        case 8: {
            const HDC dc = pick(in, m.dcs);
            (void)(in.flag() ? SetBkColor(dc, colour(in)) : SetTextColor(dc, colour(in)));
            break;
        }
        case 9: {
            const std::uint32_t h = anyHandle(in, m);
            if (in.flag()) {
                (void)GetObjectA(h, in.byte(), nullptr);
            } else {
                // A buffer of exactly the size passed: nothing may be written past it.
                const int c = in.byte() % 40;
                std::vector<std::uint8_t> buffer(std::size_t(std::max(c, 1)));
                const int written = GetObjectA(h, c, buffer.data());
                fuzz::check(written >= 0 && written <= c, "GetObjectA stays within its buffer");
            }
            break;
        }
        case 10:
            record(m.bitmaps, bitmapFromImage(image(in)));
            break;
        case 11:
            record(m.icons, iconFromImage(image(in)));
            break;
        case 12: {
            const std::uint32_t h = anyHandle(in, m);
            (void)imageOfBitmap(h);
            (void)imageOfIcon(h);
            if (QImage* surface = bitmapSurface(h)) {
                surface->fill(in.u32());
            }
            break;
        }
        case 13: {
            const HBITMAP b = pick(in, m.bitmaps);
            record(m.icons,
                   leavesOnlyResult([b] { return trayicon::IconFromBitmap(b); }, GdiKind::Icon));
            break;
        }
        case 14: {
            const HBITMAP b = pick(in, m.bitmaps);
            const COLORREF c = colour(in);
            record(m.icons,
                   leavesOnlyResult([b, c] { return trayicon::IconFromBitmapTransparent(b, c); },
                                    GdiKind::Icon));
            break;
        }
        case 15: {
            const HDC dc = pick(in, m.dcs);
            const COLORREF c = colour(in);
            // A known background before, and the same one after: SetBkColor returns the previous.
            const COLORREF probe = 0x00123456;
            const bool live = SetBkColor(dc, probe) != CLR_INVALID;
            record(m.bitmaps, leavesOnlyResult([dc, c] { return trayicon::MakeMask(dc, c); },
                                               GdiKind::Bitmap));
            fuzz::check(!live || SetBkColor(dc, probe) == probe,
                        "MakeMask puts the background back");
            break;
        }
        default:
            for (GdiKind kind : {GdiKind::Bitmap, GdiKind::DC, GdiKind::Icon}) {
                fuzz::check(gdiObjectCount(kind) >= 0, "counts are never negative");
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    Made m;
    // Enough calls for any sequence worth finding; each call is cheap.
    for (int calls = 0; calls < 256 && !in.empty(); ++calls) {
        step(in, m);
    }
    // Contexts first, which releases their bitmaps, then the rest. Handles already freed, and
    // the stock bitmap, simply fail.
    for (const HDC dc : m.dcs) {
        (void)DeleteDC(dc);
    }
    for (const HBITMAP b : m.bitmaps) {
        (void)DeleteObject(b);
    }
    for (const HICON i : m.icons) {
        (void)DestroyIcon(i);
    }
    fuzz::check(gdiObjectCount(GdiKind::DC) == 0, "every context is gone");
    fuzz::check(gdiObjectCount(GdiKind::Bitmap) == 0, "every bitmap is gone");
    fuzz::check(gdiObjectCount(GdiKind::Icon) == 0, "every icon is gone");
    return 0;
}
