// SPDX-License-Identifier: GPL-3.0-or-later
// GDI call sequences (the tray's icon steps among them) on made, stale, stock or made-up handles.
// Once everything made is freed, no object may be left: a call failing halfway leaks nothing.
#include <QImage>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <functional>
#include <vector>

#include "FuzzInput.h"
#include "platform/Gdi.h"
#include "tray/IconFromPicture.h"

using namespace orvane;

namespace {

using Pool = std::vector<std::uint32_t>;
enum { kDcs, kBitmaps, kIcons };

struct Made {
    Pool pools[3];  // contexts, bitmaps, icons
    int large = 0;  // bitmaps asked for with a large side; a few are enough
    void add(int pool, std::uint32_t h) { h != 0 ? pools[pool].push_back(h) : void(); }
};

// Mostly a handle the sequence made (possibly freed since), sometimes 0 or any number.
std::uint32_t pick(fuzz::FuzzInput& in, const Pool& pool) {
    const std::uint8_t b = in.byte();
    if (b < 200 && !pool.empty()) {
        return pool[b % pool.size()];
    }
    return b < 230 ? 0 : in.u32();
}

std::uint32_t anyHandle(fuzz::FuzzInput& in, const Made& m) {
    return pick(in, m.pools[in.byte() % 3]);
}

// Mostly -3 .. 66; one side at most reaches the edges of what CreateBitmap accepts.
int side(fuzz::FuzzInput& in, bool allowLarge) {
    static constexpr int kEdges[] = {16383, 16384, 16385, INT_MAX, INT_MIN, 65536, -65536, 1 << 30};
    const std::uint8_t b = in.byte();
    return b < 240 || !allowLarge ? int(b % 70) - 3 : kEdges[b % std::size(kEdges)];
}

int coordinate(fuzz::FuzzInput& in) {
    const std::uint8_t b = in.byte();
    return b >= 250 ? (b % 2 == 0 ? INT_MAX : INT_MIN) : int(b % 100) - 20;
}

COLORREF colour(fuzz::FuzzInput& in) {
    static constexpr COLORREF kFixed[] = {RGB(0, 0, 0), RGB(255, 255, 255), CLR_INVALID};
    const int kind = in.byte() % 4;
    return kind < 3 ? kFixed[kind] : in.u32();
}

void createBitmap(fuzz::FuzzInput& in, Made& m) {
    const bool wide = in.flag();
    const bool allowLarge = m.large < 4;
    const int w = side(in, allowLarge && wide);
    const int h = side(in, allowLarge && !wide);
    m.large += (w > 66 || h > 66) ? 1 : 0;
    // Monochrome, planes and depth 0 (monochrome too), 32 bits, or anything.
    const int kind = in.byte() % 5;
    const std::uint32_t planes = kind == 1 ? 0 : kind < 3 ? 1 : in.byte() % 3;
    const std::uint32_t bits = kind == 0 ? 1 : kind == 1 ? 0 : kind == 2 ? 32 : in.byte();
    std::vector<std::uint8_t> pixels;
    if (in.flag() && w > 0 && h > 0 && qint64(w) * h <= qint64(16384) * 66) {
        // Exactly the documented layout's size, so that a read past it is caught.
        const qint64 rowBytes = bits <= 1 ? ((qint64(w) + 15) / 16) * 2 : qint64(w) * 4;
        pixels.resize(std::size_t(rowBytes * h));
        for (std::size_t i = 0, seed = in.byte(); i < pixels.size(); ++i) {
            pixels[i] = std::uint8_t(seed + i * 37);
        }
    }
    m.add(kBitmaps, CreateBitmap(w, h, planes, bits, pixels.empty() ? nullptr : pixels.data()));
}

QImage image(fuzz::FuzzInput& in) {
    static constexpr QImage::Format kFormats[] = {QImage::Format_ARGB32, QImage::Format_RGB32,
                                                  QImage::Format_Mono, QImage::Format_Indexed8,
                                                  QImage::Format_RGB16};
    const int w = in.byte() % 40, h = in.byte() % 40;
    QImage img(w, h, kFormats[in.byte() % std::size(kFormats)]);
    if (!img.isNull()) {
        if (img.format() == QImage::Format_Indexed8 || img.format() == QImage::Format_Mono) {
            img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        }
        img.fill(in.byte() % 2);
    }
    return img;
}

using In = fuzz::FuzzInput;

const std::function<void(In&, Made&)> kCalls[] = {
    [](In& in, Made& m) {
        m.add(kDcs, CreateCompatibleDC(in.flag() ? 0 : pick(in, m.pools[kDcs])));
    },
    createBitmap,
    [](In& in, Made& m) {
        const HDC dc = pick(in, m.pools[kDcs]);
        (void)SelectObject(dc, anyHandle(in, m));
    },
    [](In& in, Made& m) { (void)DeleteObject(anyHandle(in, m)); },
    [](In& in, Made& m) { (void)DeleteDC(anyHandle(in, m)); },
    [](In& in, Made& m) {
        const HDC dst = pick(in, m.pools[kDcs]);
        int v[4];  // x, y, cx, cy
        std::generate(v, v + 4, [&] { return coordinate(in); });
        const HDC src = pick(in, m.pools[kDcs]);
        const int x1 = coordinate(in), y1 = coordinate(in);
        const std::uint32_t rop = in.flag() ? SRCCOPY : in.flag() ? SRCAND : in.u32();
        (void)BitBlt(dst, v[0], v[1], v[2], v[3], src, x1, y1, rop);
    },
    [](In& in, Made& m) {
        ICONINFO info{};
        info.fIcon = in.flag();
        info.xHotspot = in.byte();
        info.yHotspot = in.byte();
        info.hbmMask = pick(in, m.pools[kBitmaps]);
        info.hbmColor = pick(in, m.pools[kBitmaps]);
        m.add(kIcons, CreateIconIndirect(in.flag() ? &info : nullptr));
    },
    [](In& in, Made& m) { (void)DestroyIcon(anyHandle(in, m)); },
    [](In& in, Made& m) {
        const HDC dc = pick(in, m.pools[kDcs]);
        (void)(in.flag() ? SetBkColor(dc, colour(in)) : SetTextColor(dc, colour(in)));
    },
    [](In& in, Made& m) {
        const std::uint32_t h = anyHandle(in, m);
        if (in.flag()) {
            (void)GetObjectA(h, in.byte(), nullptr);
            return;
        }
        const int c = in.byte() % 40;  // exactly the size passed: nothing may go past it
        std::vector<std::uint8_t> buffer(std::size_t(std::max(c, 1)));
        const int written = GetObjectA(h, c, buffer.data());
        fuzz::check(written >= 0 && written <= c, "GetObjectA stays within its buffer");
    },
    [](In& in, Made& m) { m.add(kBitmaps, bitmapFromImage(image(in))); },
    [](In& in, Made& m) { m.add(kIcons, iconFromImage(image(in))); },
    [](In& in, Made& m) {
        const std::uint32_t h = anyHandle(in, m);
        (void)imageOfBitmap(h);
        (void)imageOfIcon(h);
        if (QImage* surface = bitmapSurface(h)) {
            surface->fill(in.u32());
        }
    },
    [](In& in, Made& m) { m.add(kIcons, trayicon::IconFromBitmap(pick(in, m.pools[kBitmaps]))); },
    [](In& in, Made& m) {
        const HBITMAP b = pick(in, m.pools[kBitmaps]);
        m.add(kIcons, trayicon::IconFromBitmapTransparent(b, colour(in)));
    },
    [](In& in, Made& m) {
        const HDC dc = pick(in, m.pools[kDcs]);
        const COLORREF probe = 0x00123456;  // SetBkColor returns the previous one
        const bool live = SetBkColor(dc, probe) != CLR_INVALID;
        m.add(kBitmaps, trayicon::MakeMask(dc, colour(in)));
        fuzz::check(!live || SetBkColor(dc, probe) == probe, "MakeMask puts the background back");
    },
    [](In&, Made&) {},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    Made m;
    for (int calls = 0; calls < 256 && !in.empty(); ++calls) {
        kCalls[in.byte() % std::size(kCalls)](in, m);
    }
    // Contexts first, which releases their bitmaps; what is already gone fails harmlessly.
    for (const auto& [pool, free] :
         {std::pair{kDcs, &DeleteDC}, {kBitmaps, &DeleteObject}, {kIcons, &DestroyIcon}}) {
        for (const std::uint32_t h : m.pools[pool]) {
            (void)free(h);
        }
    }

    for (const GdiKind kind : {GdiKind::Bitmap, GdiKind::DC, GdiKind::Icon}) {
        fuzz::check(gdiObjectCount(kind) == 0, "nothing made in the sequence outlives it");
    }
    return 0;
}
