#include <QPainter>
#include <QWidget>
#include <QtTest>

#include "Gdi.h"
#include "IconFromPicture.h"
#include "PictureBox.h"
#include "RecordingShell.h"
#include "clsSysTray.h"

using namespace orvane;
using orvane::test::RecordingShell;

namespace {

struct Counts {
    int bitmaps = gdiObjectCount(GdiKind::Bitmap);
    int dcs = gdiObjectCount(GdiKind::DC);
    int icons = gdiObjectCount(GdiKind::Icon);
    friend bool operator==(const Counts&, const Counts&) = default;
};

char* toString(const Counts& c) {
    return QTest::toString(
        QStringLiteral("%1 bitmaps, %2 contexts, %3 icons").arg(c.bitmaps).arg(c.dcs).arg(c.icons));
}

const QRgb kRed = qRgb(255, 0, 0);
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kBlack = qRgb(0, 0, 0);

COLORREF colorRef(QRgb c) {
    return RGB(qRed(c), qGreen(c), qBlue(c));
}

// A picture box of the given size: blue, with a checkerboard of `key` pixels over all of it.
void paintCheckers(PictureBox& box, QRgb key) {
    box.draw([&](QPainter& p) {
        p.fillRect(box.rect(), QColor::fromRgb(kBlue));
        for (int y = 0; y < box.height(); ++y) {
            for (int x = (y % 2); x < box.width(); x += 2) {
                p.fillRect(x, y, 1, 1, QColor::fromRgb(key));
            }
        }
    });
}

bool isKey(int x, int y) {
    return (x + y) % 2 == 0;
}

// The tray after Init, with the recording cleared.
struct Tray {
    RecordingShell shell;
    QWidget window;
    clsSysTray tray;
    Tray() {
        tray.Init(window, QStringLiteral("tip"));
        shell.calls.clear();
    }
};

}  // namespace

class TestIconFromPicture : public QObject {
    Q_OBJECT
  private slots:
    void contextsAndSelection();
    void bitmapsAndTransfers();
    void plainPath();
    void transparentPath_data();
    void transparentPath();
    void failuresKeepTheTrayIcon_data();
    void failuresKeepTheTrayIcon();
    void makeMaskRestoresTheBackground();
};

void TestIconFromPicture::contextsAndSelection() {
    const Counts start;
    const HDC a = CreateCompatibleDC(0);
    const HDC b = CreateCompatibleDC(a);
    QVERIFY(a != 0 && b != 0 && a != b);
    QCOMPARE(CreateCompatibleDC(0x7FFFFFF0), 0u);
    const HBITMAP bm = CreateBitmap(4, 4, 1, 32, nullptr);
    // Both start with the same 1 x 1 monochrome default, which can be selected back.
    const HGDIOBJ defaultBitmap = SelectObject(a, bm);
    QVERIFY(defaultBitmap != 0);
    BITMAP info{};
    QCOMPARE(GetObjectA(defaultBitmap, int(sizeof info), &info), 24);
    QCOMPARE(info.bmWidth, 1);
    QCOMPARE(info.bmBitsPixel, std::uint16_t(1));
    // One context at a time; a selected bitmap cannot be deleted.
    QCOMPARE(SelectObject(b, bm), 0u);
    QCOMPARE(SelectObject(a, bm), bm);
    QCOMPARE(DeleteObject(bm), 0);
    QCOMPARE(SelectObject(a, defaultBitmap), bm);
    QCOMPARE(SelectObject(b, bm), defaultBitmap);
    // Deleting a context lets its bitmap go, and contexts, icons and bitmaps are not
    // interchangeable.
    QCOMPARE(DeleteDC(b), 1);
    QCOMPARE(DeleteObject(a), 0);
    QCOMPARE(DestroyIcon(bm), 0);
    QCOMPARE(DeleteDC(bm), 0);
    QCOMPARE(SelectObject(a, a), 0u);
    QCOMPARE(DeleteObject(bm), 1);
    QCOMPARE(DeleteObject(bm), 0);
    QCOMPARE(GetObjectA(bm, 24, &info), 0);
    QCOMPARE(DeleteDC(a), 1);
    QCOMPARE(Counts(), start);
}

void TestIconFromPicture::bitmapsAndTransfers() {
    const Counts start;
    // 0 planes and 0 bits: monochrome with every bit 0.
    const HBITMAP mono = CreateBitmap(20, 3, 0, 0, nullptr);
    BITMAP info{};
    QCOMPARE(GetObjectA(mono, int(sizeof info), &info), 24);
    QCOMPARE(info.bmWidth, 20);
    QCOMPARE(info.bmHeight, 3);
    QCOMPARE(info.bmWidthBytes, 4);
    QCOMPARE(info.bmBitsPixel, std::uint16_t(1));
    QCOMPARE(GetObjectA(mono, 0, nullptr), 24);
    QCOMPARE(imageOfBitmap(mono).pixelIndex(19, 2), 0);
    QCOMPARE(CreateBitmap(0, 5, 1, 1, nullptr), 0u);
    QCOMPARE(CreateBitmap(5, 5, 1, 8, nullptr), 0u);
    QCOMPARE(CreateBitmap(100000, 100000, 1, 32, nullptr), 0u);

    // Colour: 0x00RRGGBB words; the second pixel is the background colour below.
    const std::uint32_t words[] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0x00FFFFFF};
    const HBITMAP colour = CreateBitmap(4, 1, 1, 32, words);
    QCOMPARE(imageOfBitmap(colour).pixel(0, 0), kRed);
    const HDC src = CreateCompatibleDC(0);
    const HDC dst = CreateCompatibleDC(0);
    const HGDIOBJ oldSrc = SelectObject(src, colour);
    const HGDIOBJ oldDst = SelectObject(dst, mono);
    QCOMPARE(SetBkColor(src, RGB(0, 255, 0)), RGB(255, 255, 255));
    QCOMPARE(GetBkColor(src), RGB(0, 255, 0));
    // Colour to monochrome: 1 where the source's background colour is, clipped to both.
    QCOMPARE(BitBlt(dst, 0, 0, 32, 32, src, 0, 0, SRCCOPY), 1);
    const QImage m = imageOfBitmap(mono);
    QCOMPARE((QList<int>{m.pixelIndex(0, 0), m.pixelIndex(1, 0), m.pixelIndex(2, 0),
                         m.pixelIndex(3, 0), m.pixelIndex(4, 0), m.pixelIndex(1, 1)}),
             (QList<int>{0, 1, 0, 0, 0, 0}));
    // A colour with its top byte set is no plain colour, and matches no pixel.
    SetBkColor(src, 0x0100FF00);
    BitBlt(dst, 0, 0, 4, 1, src, 0, 0, SRCCOPY);
    QCOMPARE(imageOfBitmap(mono).pixelIndex(1, 0), 0);
    SetBkColor(src, RGB(0, 255, 0));
    BitBlt(dst, 0, 0, 4, 1, src, 0, 0, SRCCOPY);

    // Monochrome to colour with SRCAND: 0 takes the text colour, 1 the background colour.
    SelectObject(src, oldSrc);
    SelectObject(dst, oldDst);
    SelectObject(src, mono);
    SelectObject(dst, colour);
    SetTextColor(dst, RGB(255, 255, 255));
    SetBkColor(dst, RGB(0, 0, 0));
    QCOMPARE(BitBlt(dst, 0, 0, 4, 1, src, 0, 0, SRCAND), 1);
    const QImage c = imageOfBitmap(colour);
    QCOMPARE((QList<QRgb>{c.pixel(0, 0), c.pixel(1, 0), c.pixel(2, 0), c.pixel(3, 0)}),
             (QList<QRgb>{kRed, kBlack, kBlue, qRgb(255, 255, 255)}));
    QCOMPARE(BitBlt(dst, 0, 0, 4, 1, src, 0, 0, 0x00EE0086), 0);  // SRCPAINT is not offered
    QCOMPARE(BitBlt(dst, 0, 0, 4, 1, 0, 0, 0, SRCCOPY), 0);
    SelectObject(src, oldSrc);
    SelectObject(dst, oldDst);
    DeleteDC(src);
    DeleteDC(dst);
    DeleteObject(mono);
    DeleteObject(colour);
    QCOMPARE(Counts(), start);
}

void TestIconFromPicture::plainPath() {
    Tray t;
    PictureBox box;
    box.resize(20, 10);
    paintCheckers(box, kRed);
    const Counts start;
    t.tray.DrawIcon(box);
    QVERIFY(box.AutoRedraw());
    QVERIFY(box.Picture() == box.Image());
    QCOMPARE(t.shell.calls.size(), std::size_t(1));
    const RecordingShell::Call& c = t.shell.calls[0];
    QCOMPARE(c.message, NIM_MODIFY);
    QCOMPARE(c.flags(), NIF_ICON);
    // The picture's own size, every pixel opaque and as drawn.
    QCOMPARE(c.icon, imageOfBitmap(box.Picture().Handle()).convertToFormat(QImage::Format_ARGB32));
    // The handle in the record was ours, and is gone.
    QCOMPARE(t.tray.NotifyIconData().hIcon, c.hIcon());
    QVERIFY(imageOfIcon(c.hIcon()).isNull());
    QCOMPARE(Counts(), start);
    // Any negative colour is the plain path.
    t.tray.DrawIcon(box, -5);
    QCOMPARE(t.shell.calls.back().icon, c.icon);
}

void TestIconFromPicture::transparentPath_data() {
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRgb>("key");
    QTest::newRow("32 x 32, red") << QSize(32, 32) << kRed;
    QTest::newRow("32 x 32, black") << QSize(32, 32) << kBlack;
    QTest::newRow("larger, red") << QSize(48, 40) << kRed;
    QTest::newRow("smaller, red") << QSize(16, 16) << kRed;
}

void TestIconFromPicture::transparentPath() {
    QFETCH(QSize, size);
    QFETCH(QRgb, key);
    Tray t;
    PictureBox box;
    box.resize(size);
    paintCheckers(box, key);
    const Counts start;
    const std::int32_t colour = std::int32_t(colorRef(key));
    t.tray.DrawIcon(box, colour);
    QCOMPARE(Counts(), start);
    QCOMPARE(t.shell.calls.size(), std::size_t(1));
    const QImage icon = t.shell.calls[0].icon;
    const QImage picture = imageOfBitmap(box.Picture().Handle());
    QCOMPARE(icon.size(), size);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const bool masked = x < 32 && y < 32 && isKey(x, y);
            const QRgb drawn = isKey(x, y) ? key : kBlue;
            // The picture itself is blackened where it was masked, and only there.
            QCOMPARE(picture.pixel(x, y), masked ? kBlack : drawn);
            // The icon is transparent exactly there, and shows the rest as drawn.
            QCOMPARE(icon.pixel(x, y), masked ? qRgba(0, 0, 0, 0) : drawn);
        }
    }
    QVERIFY(imageOfIcon(t.shell.calls[0].hIcon()).isNull());
}

void TestIconFromPicture::failuresKeepTheTrayIcon_data() {
    QTest::addColumn<bool>("transparent");
    QTest::addColumn<bool>("empty");
    // A box with no area has no bitmap at all, so GetObjectA cannot read it.
    QTest::newRow("plain, no bitmap") << false << true;
    QTest::newRow("transparent, no bitmap") << true << true;
    QTest::newRow("transparent, bitmap selected elsewhere") << true << false;
}

void TestIconFromPicture::failuresKeepTheTrayIcon() {
    QFETCH(bool, transparent);
    QFETCH(bool, empty);
    Tray t;
    PictureBox box;
    box.resize(empty ? QSize(0, 10) : QSize(32, 32));
    paintCheckers(box, kRed);
    const QImage before = imageOfBitmap(box.Image().Handle());
    // Somebody else's context holds the picture's bitmap.
    const HDC other = CreateCompatibleDC(0);
    const HGDIOBJ old = empty ? 0 : SelectObject(other, box.Image().Handle());
    const Counts start;
    t.tray.DrawIcon(box, transparent ? std::int32_t(colorRef(kRed)) : -1);
    QCOMPARE(Counts(), start);
    QVERIFY(t.shell.calls.empty());
    QCOMPARE(t.tray.NotifyIconData().hIcon, 0u);
    // The picture is untouched.
    QCOMPARE(imageOfBitmap(box.Picture().Handle()), before);
    if (old != 0) {
        SelectObject(other, old);
    }
    DeleteDC(other);
}

void TestIconFromPicture::makeMaskRestoresTheBackground() {
    const std::uint32_t words[] = {0x00FF0000, 0x000000FF};
    const HBITMAP colour = CreateBitmap(2, 1, 1, 32, words);
    const HDC dc = CreateCompatibleDC(0);
    const HGDIOBJ old = SelectObject(dc, colour);
    SetBkColor(dc, RGB(1, 2, 3));
    const Counts start;
    const HBITMAP mask = trayicon::MakeMask(dc, RGB(0, 0, 255));
    QCOMPARE(GetBkColor(dc), RGB(1, 2, 3));
    const QImage m = imageOfBitmap(mask);
    QCOMPARE(m.size(), QSize(32, 32));
    QCOMPARE(m.pixelIndex(0, 0), 0);
    QCOMPARE(m.pixelIndex(1, 0), 1);
    QCOMPARE(m.pixelIndex(31, 31), 0);
    QCOMPARE(gdiObjectCount(GdiKind::Bitmap), start.bitmaps + 1);
    DeleteObject(mask);
    QCOMPARE(Counts(), start);
    // A context that is not one gives no mask, and leaves nothing behind.
    QCOMPARE(trayicon::MakeMask(0x7FFFFFF0, 0), 0u);
    QCOMPARE(Counts(), start);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(colour);
}

QTEST_MAIN(TestIconFromPicture)
#include "tst_iconfrompicture.moc"
