// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/Gdi.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <variant>
#include <vector>

namespace orvane {

namespace {

struct Bitmap {
    QImage pixels;  // Format_Mono or Format_RGB32
    HDC selectedInto = 0;
    bool stock = false;
    bool mono() const { return pixels.format() == QImage::Format_Mono; }
};

struct Dc {
    HBITMAP bitmap = 0;
    COLORREF background = RGB(255, 255, 255);
    COLORREF text = RGB(0, 0, 0);
};

struct Icon {
    QImage pixels;  // Format_ARGB32
};

using Object = std::variant<Bitmap, Dc, Icon>;

// Large enough for any picture a window shows, small enough that a wild size cannot exhaust
// memory.
constexpr int kMaxSide = 16384;
constexpr qint64 kMaxPixels = qint64(8192) * 8192;

class Table {
  public:
    Table() {
        Bitmap stock;
        stock.pixels = monoImage(1, 1);
        stock.stock = true;
        m_stockBitmap = add(std::move(stock));
    }

    HBITMAP stockBitmap() const { return m_stockBitmap; }

    std::uint32_t add(Object object) {
        // The counter skips 0 and every handle still in use, so a live object's handle is never
        // given out twice. A released handle comes round again only after 2^30 more objects;
        // until then a stale handle names nothing.
        do {
            m_next += 4;
        } while (m_next == 0 || m_objects.count(m_next) != 0);
        m_objects.emplace(m_next, std::make_unique<Object>(std::move(object)));
        return m_next;
    }

    template <typename T>
    T* find(std::uint32_t h) {
        const auto it = m_objects.find(h);
        return it == m_objects.end() ? nullptr : std::get_if<T>(it->second.get());
    }

    void remove(std::uint32_t h) { m_objects.erase(h); }

    int count(GdiKind kind) const {
        int n = 0;
        for (const auto& [h, object] : m_objects) {
            if (const auto* b = std::get_if<Bitmap>(object.get())) {
                n += kind == GdiKind::Bitmap && !b->stock;
            } else if (std::holds_alternative<Dc>(*object)) {
                n += kind == GdiKind::DC;
            } else {
                n += kind == GdiKind::Icon;
            }
        }
        return n;
    }

    static QImage monoImage(int width, int height) {
        QImage image(width, height, QImage::Format_Mono);
        if (!image.isNull()) {
            image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
            image.fill(0);
        }
        return image;
    }

  private:
    std::unordered_map<std::uint32_t, std::unique_ptr<Object>> m_objects;
    std::uint32_t m_next = 0x00010000;
    HBITMAP m_stockBitmap = 0;
};

// Never destroyed: pictures held by other static objects may still release their handles while
// the process ends.
Table& table() {
    static Table& t = *new Table;
    return t;
}

QRgb toRgb(COLORREF c) {
    return qRgb(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

COLORREF toColorRef(QRgb p) {
    return RGB(qRed(p), qGreen(p), qBlue(p));
}

// A pixel read from a bitmap in the form it takes in a transfer.
struct Pixel {
    bool bit;
    COLORREF colour;
};

Pixel readPixel(const Bitmap& b, int x, int y) {
    if (b.mono()) {
        const bool bit = b.pixels.pixelIndex(x, y) != 0;
        return {bit, bit ? RGB(255, 255, 255) : RGB(0, 0, 0)};
    }
    const QRgb p = reinterpret_cast<const QRgb*>(b.pixels.constScanLine(y))[x];
    return {false, toColorRef(p)};
}

}  // namespace

HDC CreateCompatibleDC(HDC hdc) {
    Table& t = table();
    if (hdc != 0 && t.find<Dc>(hdc) == nullptr) {
        return 0;
    }
    Dc dc;
    dc.bitmap = t.stockBitmap();
    return t.add(dc);
}

BOOL DeleteDC(HDC hdc) {
    Table& t = table();
    Dc* dc = t.find<Dc>(hdc);
    if (dc == nullptr) {
        return 0;
    }
    if (Bitmap* b = t.find<Bitmap>(dc->bitmap); b != nullptr && !b->stock) {
        b->selectedInto = 0;
    }
    t.remove(hdc);
    return 1;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
    Table& t = table();
    Dc* dc = t.find<Dc>(hdc);
    Bitmap* b = t.find<Bitmap>(h);
    if (dc == nullptr || b == nullptr) {
        return 0;
    }
    if (!b->stock && b->selectedInto != 0 && b->selectedInto != hdc) {
        return 0;
    }
    const HBITMAP previous = dc->bitmap;
    if (previous == h) {
        return previous;
    }
    if (Bitmap* old = t.find<Bitmap>(previous); old != nullptr && !old->stock) {
        old->selectedInto = 0;
    }
    if (!b->stock) {
        b->selectedInto = hdc;
    }
    dc->bitmap = h;
    return previous;
}

HBITMAP CreateBitmap(int nWidth, int nHeight, std::uint32_t nPlanes, std::uint32_t nBitCount,
                     const void* lpBits) {
    if (nWidth <= 0 || nHeight <= 0 || nWidth > kMaxSide || nHeight > kMaxSide ||
        qint64(nWidth) * nHeight > kMaxPixels) {
        return 0;
    }
    const bool mono = (nPlanes == 1 && nBitCount == 1) || (nPlanes == 0 && nBitCount == 0);
    const bool colour = nPlanes == 1 && nBitCount == 32;
    if (!mono && !colour) {
        return 0;
    }
    Bitmap b;
    if (mono) {
        b.pixels = Table::monoImage(nWidth, nHeight);
    } else {
        b.pixels = QImage(nWidth, nHeight, QImage::Format_RGB32);
        if (!b.pixels.isNull()) {
            b.pixels.fill(qRgb(0, 0, 0));
        }
    }
    if (b.pixels.isNull()) {
        return 0;
    }
    if (lpBits != nullptr) {
        const auto* src = static_cast<const uchar*>(lpBits);
        const int rowBytes = mono ? ((nWidth + 15) / 16) * 2 : nWidth * 4;
        for (int y = 0; y < nHeight; ++y) {
            const uchar* row = src + qsizetype(y) * rowBytes;
            if (mono) {
                // Format_Mono is most significant bit first, like the old bitmaps.
                std::memcpy(b.pixels.scanLine(y), row, std::size_t((nWidth + 7) / 8));
            } else {
                auto* out = reinterpret_cast<QRgb*>(b.pixels.scanLine(y));
                for (int x = 0; x < nWidth; ++x) {
                    const uchar* p = row + x * 4;  // blue, green, red, unused
                    out[x] = qRgb(p[2], p[1], p[0]);
                }
            }
        }
    }
    return table().add(std::move(b));
}

int GetObjectA(HGDIOBJ h, int c, void* pv) {
    const Bitmap* b = table().find<Bitmap>(h);
    if (b == nullptr) {
        return 0;
    }
    if (pv == nullptr) {
        return int(sizeof(BITMAP));
    }
    if (c <= 0) {
        return 0;
    }
    const int bits = b->mono() ? 1 : 32;
    BITMAP bm{};
    bm.bmType = 0;
    bm.bmWidth = b->pixels.width();
    bm.bmHeight = b->pixels.height();
    bm.bmWidthBytes = ((bm.bmWidth * bits + 15) / 16) * 2;
    bm.bmPlanes = 1;
    bm.bmBitsPixel = std::uint16_t(bits);
    bm.bmBits = 0;
    const int n = std::min(c, int(sizeof(BITMAP)));
    std::memcpy(pv, &bm, std::size_t(n));
    return n;
}

COLORREF SetBkColor(HDC hdc, COLORREF color) {
    Dc* dc = table().find<Dc>(hdc);
    if (dc == nullptr) {
        return CLR_INVALID;
    }
    return std::exchange(dc->background, color);
}

COLORREF SetTextColor(HDC hdc, COLORREF color) {
    Dc* dc = table().find<Dc>(hdc);
    if (dc == nullptr) {
        return CLR_INVALID;
    }
    return std::exchange(dc->text, color);
}

BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, std::uint32_t rop) {
    Table& t = table();
    const Dc* dst = t.find<Dc>(hdc);
    const Dc* src = t.find<Dc>(hdcSrc);
    if (dst == nullptr || src == nullptr || (rop != SRCCOPY && rop != SRCAND) || cx < 0 || cy < 0) {
        return 0;
    }
    Bitmap* d = t.find<Bitmap>(dst->bitmap);
    const Bitmap* s = t.find<Bitmap>(src->bitmap);
    if (d == nullptr || s == nullptr) {
        return 0;
    }
    if (d->stock) {
        // The shared default bitmap is never drawn on.
        return 1;
    }
    // Clip to both bitmaps, in 64 bits so that no offset can overflow.
    const qint64 left = std::max({qint64(0), -qint64(x), -qint64(x1)});
    const qint64 top = std::max({qint64(0), -qint64(y), -qint64(y1)});
    const qint64 right =
        std::min({qint64(cx), qint64(d->pixels.width()) - x, qint64(s->pixels.width()) - x1});
    const qint64 bottom =
        std::min({qint64(cy), qint64(d->pixels.height()) - y, qint64(s->pixels.height()) - y1});
    if (left >= right || top >= bottom) {
        return 1;
    }
    const int w = int(right - left);
    const int h = int(bottom - top);

    // Read the source first: source and destination may be the same bitmap.
    std::vector<Pixel> block;
    block.reserve(std::size_t(w) * std::size_t(h));
    for (int j = 0; j < h; ++j) {
        for (int i = 0; i < w; ++i) {
            block.push_back(readPixel(*s, int(x1 + left + i), int(y1 + top + j)));
        }
    }
    const COLORREF srcBackground = src->background;
    const COLORREF dstBackground = dst->background;
    const COLORREF dstText = dst->text;
    for (int j = 0; j < h; ++j) {
        const int dy = int(y + top + j);
        for (int i = 0; i < w; ++i) {
            const int dx = int(x + left + i);
            const Pixel& p = block[std::size_t(j) * std::size_t(w) + std::size_t(i)];
            if (d->mono()) {
                const bool bit = s->mono() ? p.bit : p.colour == srcBackground;
                const bool old = d->pixels.pixelIndex(dx, dy) != 0;
                d->pixels.setPixel(dx, dy, (rop == SRCAND ? (old && bit) : bit) ? 1 : 0);
            } else {
                const COLORREF c = s->mono() ? (p.bit ? dstBackground : dstText) : p.colour;
                auto* row = reinterpret_cast<QRgb*>(d->pixels.scanLine(dy));
                const COLORREF old = toColorRef(row[dx]);
                row[dx] = toRgb(rop == SRCAND ? (old & c) : c);
            }
        }
    }
    return 1;
}

HICON CreateIconIndirect(const ICONINFO* piconinfo) {
    if (piconinfo == nullptr) {
        return 0;
    }
    Table& t = table();
    const Bitmap* mask = t.find<Bitmap>(piconinfo->hbmMask);
    const Bitmap* colour = t.find<Bitmap>(piconinfo->hbmColor);
    // Only colour icons are made here, with a monochrome mask.
    if (mask == nullptr || colour == nullptr || !mask->mono()) {
        return 0;
    }
    const int w = colour->pixels.width();
    const int h = colour->pixels.height();
    QImage out(w, h, QImage::Format_ARGB32);
    if (out.isNull()) {
        return 0;
    }
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const bool transparent = x < mask->pixels.width() && y < mask->pixels.height() &&
                                     mask->pixels.pixelIndex(x, y) != 0;
            row[x] = transparent ? qRgba(0, 0, 0, 0) : toRgb(readPixel(*colour, x, y).colour);
        }
    }
    return t.add(Icon{std::move(out)});
}

BOOL DestroyIcon(HICON hIcon) {
    Table& t = table();
    if (t.find<Icon>(hIcon) == nullptr) {
        return 0;
    }
    t.remove(hIcon);
    return 1;
}

BOOL DeleteObject(HGDIOBJ h) {
    Table& t = table();
    const Bitmap* b = t.find<Bitmap>(h);
    if (b == nullptr || (b->selectedInto != 0 && !b->stock)) {
        return 0;
    }
    if (!b->stock) {
        t.remove(h);
    }
    return 1;
}

int gdiObjectCount(GdiKind kind) {
    return table().count(kind);
}

HBITMAP bitmapFromImage(const QImage& image) {
    if (image.isNull() || image.width() > kMaxSide || image.height() > kMaxSide ||
        qint64(image.width()) * image.height() > kMaxPixels) {
        return 0;
    }
    Bitmap b;
    b.pixels = image.convertToFormat(QImage::Format_RGB32);
    return table().add(std::move(b));
}

QImage imageOfBitmap(HBITMAP h) {
    const Bitmap* b = table().find<Bitmap>(h);
    return b == nullptr ? QImage() : b->pixels.copy();
}

QImage* bitmapSurface(HBITMAP h) {
    Bitmap* b = table().find<Bitmap>(h);
    return b == nullptr || b->mono() ? nullptr : &b->pixels;
}

HICON iconFromImage(const QImage& image) {
    if (image.isNull()) {
        return 0;
    }
    return table().add(Icon{image.convertToFormat(QImage::Format_ARGB32)});
}

QImage imageOfIcon(HICON h) {
    const Icon* icon = table().find<Icon>(h);
    return icon == nullptr ? QImage() : icon->pixels.copy();
}

}  // namespace orvane
