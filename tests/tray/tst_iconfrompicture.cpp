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

QList<int> liveObjects() {
    return {gdiObjectCount(GdiKind::Bitmap), gdiObjectCount(GdiKind::DC),
            gdiObjectCount(GdiKind::Icon)};
}

const QRgb kRed = qRgb(255, 0, 0);
const QRgb kBlue = qRgb(0, 0, 255);
const QRgb kBlack = qRgb(0, 0, 0);

// Blue, with a checkerboard of `key` pixels over all of the box.
void paintCheckers(PictureBox& box, QRgb key) {
    box.draw([&](QPainter& p) {
        p.fillRect(box.rect(), QColor::fromRgb(kBlue));
        for (int y = 0; y < box.height(); ++y) {
            for (int x = y % 2; x < box.width(); x += 2) {
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
    void selectionAndTransfers();
    void drawIcon_data();
    void drawIcon();
    void failuresKeepTheTrayIcon_data();
    void failuresKeepTheTrayIcon();
    void makeMaskRestoresTheBackground();
};

void TestIconFromPicture::selectionAndTransfers() {
    const QList<int> start = liveObjects();
    const HDC a = CreateCompatibleDC(0);
    const HDC b = CreateCompatibleDC(a);
    const HBITMAP mono = CreateBitmap(20, 3, 0, 0, nullptr);  // monochrome, every bit 0
    BITMAP bm{};
    QCOMPARE(GetObjectA(mono, int(sizeof bm), &bm), 24);
    QCOMPARE(QList<int>({bm.bmWidth, bm.bmHeight, bm.bmWidthBytes, bm.bmBitsPixel}),
             QList<int>({20, 3, 4, 1}));
    QCOMPARE(imageOfBitmap(mono).pixelIndex(19, 2), 0);
    // A context starts with a 1 x 1 monochrome bitmap, which can be selected back; a bitmap
    // goes into one context at a time and cannot be deleted while it is in one.
    const HGDIOBJ stock = SelectObject(a, mono);
    QCOMPARE(GetObjectA(stock, int(sizeof bm), &bm) * bm.bmWidth * bm.bmBitsPixel, 24);
    QCOMPARE(SelectObject(b, mono) + DeleteObject(mono) + DeleteObject(a) + DestroyIcon(mono), 0u);
    QCOMPARE(SelectObject(a, stock), mono);
    QCOMPARE(SelectObject(b, mono), stock);
    QCOMPARE(DeleteDC(b), 1);  // which lets the bitmap go
    QCOMPARE(DeleteObject(mono), 1);
    QCOMPARE(GetObjectA(mono, 24, &bm), 0);
    DeleteDC(a);
    QCOMPARE(liveObjects(), start);
}

void TestIconFromPicture::drawIcon_data() {
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRgb>("key");
    QTest::addColumn<int>("colour");  // negative: the plain path
    QTest::newRow("plain") << QSize(20, 10) << kRed << -1;
    QTest::newRow("32 x 32, red") << QSize(32, 32) << kRed << int(RGB(255, 0, 0));
    QTest::newRow("32 x 32, black") << QSize(32, 32) << kBlack << 0;
    QTest::newRow("larger, red") << QSize(48, 40) << kRed << int(RGB(255, 0, 0));
    QTest::newRow("smaller, red") << QSize(16, 16) << kRed << int(RGB(255, 0, 0));
}

void TestIconFromPicture::drawIcon() {
    QFETCH(QSize, size);
    QFETCH(QRgb, key);
    QFETCH(int, colour);
    Tray t;
    PictureBox box;
    box.resize(size);
    paintCheckers(box, key);
    const QList<int> start = liveObjects();
    t.tray.DrawIcon(box, colour);
    QCOMPARE(liveObjects(), start);
    QVERIFY(box.AutoRedraw());
    QVERIFY(box.Picture() == box.Image());
    QCOMPARE(t.shell.calls.size(), std::size_t(1));
    QCOMPARE(t.shell.calls[0].flags(), NIF_ICON);
    // The icon the record names has been destroyed; the shell kept its copy.
    QCOMPARE(t.tray.NotifyIconData().hIcon, t.shell.calls[0].u32(20));
    QVERIFY(imageOfIcon(t.tray.NotifyIconData().hIcon).isNull());
    const QImage icon = t.shell.calls[0].icon;
    const QImage picture = imageOfBitmap(box.Picture().Handle());
    QCOMPARE(icon.size(), size);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const bool masked = colour >= 0 && x < 32 && y < 32 && isKey(x, y);
            const QRgb drawn = isKey(x, y) ? key : kBlue;
            // Blackened in the picture itself, transparent in the icon: there and only there.
            QCOMPARE(picture.pixel(x, y), masked ? kBlack : drawn);
            QCOMPARE(icon.pixel(x, y), masked ? qRgba(0, 0, 0, 0) : drawn);
        }
    }
}

void TestIconFromPicture::failuresKeepTheTrayIcon_data() {
    QTest::addColumn<bool>("transparent");
    QTest::addColumn<bool>("empty");
    // A box with no area has no bitmap, which GetObjectA cannot read.
    QTest::newRow("plain, unreadable") << false << true;
    QTest::newRow("transparent, unreadable") << true << true;
    QTest::newRow("transparent, selected elsewhere") << true << false;
}

void TestIconFromPicture::failuresKeepTheTrayIcon() {
    QFETCH(bool, transparent);
    QFETCH(bool, empty);
    Tray t;
    PictureBox box;
    box.resize(empty ? QSize(0, 10) : QSize(32, 32));
    paintCheckers(box, kRed);
    const QImage before = imageOfBitmap(box.Image().Handle());
    const HDC other = CreateCompatibleDC(0);
    const HGDIOBJ old = SelectObject(other, box.Image().Handle());
    const QList<int> start = liveObjects();
    t.tray.DrawIcon(box, transparent ? int(RGB(255, 0, 0)) : -1);
    QCOMPARE(liveObjects(), start);
    QVERIFY(t.shell.calls.empty());
    QCOMPARE(t.tray.NotifyIconData().hIcon, 0u);
    QCOMPARE(imageOfBitmap(box.Picture().Handle()), before);
    SelectObject(other, old);
    DeleteDC(other);
}

void TestIconFromPicture::makeMaskRestoresTheBackground() {
    const std::uint32_t words[] = {0x00FF0000, 0x000000FF};
    const HBITMAP colour = CreateBitmap(2, 1, 1, 32, words);
    const HDC dc = CreateCompatibleDC(0);
    const HGDIOBJ old = SelectObject(dc, colour);
    SetBkColor(dc, RGB(1, 2, 3));
    const QList<int> start = liveObjects();
    const HBITMAP mask = trayicon::MakeMask(dc, RGB(0, 0, 255));
    QCOMPARE(GetBkColor(dc), RGB(1, 2, 3));
    const QImage m = imageOfBitmap(mask);
    QCOMPARE(m.size(), QSize(32, 32));
    QCOMPARE(QList<int>({m.pixelIndex(0, 0), m.pixelIndex(1, 0), m.pixelIndex(31, 31)}),
             QList<int>({0, 1, 0}));
    DeleteObject(mask);
    QCOMPARE(trayicon::MakeMask(0x7FFFFFF0, 0), 0u);  // not a context: nothing made, nothing left
    QCOMPARE(liveObjects(), start);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(colour);
}

QTEST_MAIN(TestIconFromPicture)
#include "tst_iconfrompicture.moc"
