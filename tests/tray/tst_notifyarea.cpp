#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QtTest>
#include <cstring>

#include "DesktopNotifyArea.h"
#include "Gdi.h"
#include "WindowHandles.h"

using namespace orvane;

namespace {

// A window that notes the X of every mouse move it receives, hidden like a window that lives in
// the tray.
class Receiver : public QWidget {
  public:
    QList<int> codes;
    Receiver() { setMouseTracking(true); }

  protected:
    void mouseMoveEvent(QMouseEvent* e) override { codes << int(e->position().x()); }
};

template <std::size_t N>
void put(char (&field)[N], const QByteArray& bytes) {
    std::memcpy(field, bytes.constData(), std::min<std::size_t>(N, std::size_t(bytes.size())));
}

NOTIFYICONDATAA record(std::uint32_t hWnd, std::uint32_t flags) {
    NOTIFYICONDATAA r{};
    r.cbSize = sizeof r;
    r.hWnd = hWnd;
    r.uID = 1;
    r.uFlags = flags;
    r.uCallbackMessage = WM_MOUSEMOVE;
    return r;
}

DesktopNotifyArea::Options present(int minMs = 10000, int maxMs = 30000) {
    return {[] { return true; }, minMs, maxMs};
}

}  // namespace

class TestNotifyArea : public QObject {
    Q_OBJECT
  private slots:
    void appliesOnlyTheNamedFields();
    void textFieldsStopAtTheirWidth();
    void iconPixelsAreCopied();
    void refusals();
    void clicksReachTheWindowAsMouseMoves();
    void balloonEnds();
};

void TestNotifyArea::appliesOnlyTheNamedFields() {
    DesktopNotifyArea area(present());
    Receiver w;
    NOTIFYICONDATAA r = record(hWndOf(w), NIF_MESSAGE);
    put(r.szTip, "not yet\0");
    QVERIFY(area.notifyIcon(NIM_ADD, r));
    QSystemTrayIcon* icon = area.trayIcon(r.hWnd, 1);
    QVERIFY(icon != nullptr);
    QVERIFY(icon->toolTip().isEmpty());
    r.uFlags = NIF_TIP;
    QVERIFY(area.notifyIcon(NIM_MODIFY, r));
    QCOMPARE(icon->toolTip(), QStringLiteral("not yet"));
    // A balloon's texts in the record show no balloon without NIF_INFO.
    put(r.szInfo, QByteArray("text\0", 5));
    QVERIFY(area.notifyIcon(NIM_MODIFY, r));
    QVERIFY(area.notifyIcon(NIM_DELETE, r));
    QVERIFY(area.trayIcon(r.hWnd, 1) == nullptr);
}

void TestNotifyArea::textFieldsStopAtTheirWidth() {
    DesktopNotifyArea area(present());
    Receiver w;
    NOTIFYICONDATAA r = record(hWndOf(w), NIF_TIP);
    // No NUL in the field, and printable bytes right after it: the tip ends at 128.
    put(r.szTip, QByteArray(128, 'a'));
    r.dwState = 0x42424242;
    QVERIFY(area.notifyIcon(NIM_ADD, r));
    QCOMPARE(area.trayIcon(r.hWnd, 1)->toolTip(), QString(128, 'a'));
    // Windows-1252 bytes, up to the first NUL.
    put(r.szTip, QByteArray("Caf\xe9 \x80\0rest", 12));
    QVERIFY(area.notifyIcon(NIM_MODIFY, r));
    QCOMPARE(area.trayIcon(r.hWnd, 1)->toolTip(), QStringLiteral("Café €"));
}

void TestNotifyArea::iconPixelsAreCopied() {
    DesktopNotifyArea area(present());
    Receiver w;
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(qRgba(10, 200, 30, 255));
    image.setPixel(0, 0, qRgba(0, 0, 0, 0));
    const HICON h = iconFromImage(image);
    NOTIFYICONDATAA r = record(hWndOf(w), NIF_ICON);
    r.hIcon = h;
    QVERIFY(area.notifyIcon(NIM_ADD, r));
    QVERIFY(DestroyIcon(h));
    const QImage shown = area.trayIcon(r.hWnd, 1)->icon().pixmap(16, 16).toImage();
    QCOMPARE(shown.convertToFormat(QImage::Format_ARGB32), image);
}

void TestNotifyArea::refusals() {
    Receiver w;
    const std::uint32_t hWnd = hWndOf(w);
    {
        DesktopNotifyArea none({[] { return false; }, 10000, 30000});
        QVERIFY(!none.hasNotificationArea());
        QVERIFY(!none.notifyIcon(NIM_ADD, record(hWnd, NIF_MESSAGE)));
        QVERIFY(none.trayIcon(hWnd, 1) == nullptr);
    }
    DesktopNotifyArea area(present());
    NOTIFYICONDATAA r = record(hWnd, NIF_MESSAGE);
    QVERIFY(!area.notifyIcon(NIM_MODIFY, r));
    QVERIFY(!area.notifyIcon(NIM_DELETE, r));
    QVERIFY(area.notifyIcon(NIM_ADD, r));
    QVERIFY(!area.notifyIcon(NIM_ADD, r));
    // Another identifier is another icon.
    r.uID = 2;
    QVERIFY(area.notifyIcon(NIM_ADD, r));
    QVERIFY(area.trayIcon(hWnd, 1) != area.trayIcon(hWnd, 2));
    // A record of another layout, an unknown message, a window that does not exist.
    r.cbSize = 504;
    QVERIFY(!area.notifyIcon(NIM_MODIFY, r));
    r.cbSize = 488;
    QVERIFY(!area.notifyIcon(3, r));
    QVERIFY(!area.notifyIcon(NIM_ADD, record(hWnd + 1, NIF_MESSAGE)));
    QVERIFY(!area.notifyIcon(NIM_DELETE, NOTIFYICONDATAA{}));
}

void TestNotifyArea::clicksReachTheWindowAsMouseMoves() {
    DesktopNotifyArea area(present());
    auto w = std::make_unique<Receiver>();
    const NOTIFYICONDATAA r = record(hWndOf(*w), NIF_MESSAGE);
    QVERIFY(area.notifyIcon(NIM_ADD, r));
    QSystemTrayIcon* icon = area.trayIcon(r.hWnd, 1);
    emit icon->activated(QSystemTrayIcon::Trigger);
    // Posted, as the old shell's callback messages were.
    QVERIFY(w->codes.isEmpty());
    QTRY_COMPARE(w->codes, QList<int>{0x202});
    emit icon->activated(QSystemTrayIcon::DoubleClick);
    emit icon->activated(QSystemTrayIcon::Context);
    emit icon->activated(QSystemTrayIcon::MiddleClick);
    QTRY_COMPARE(w->codes, (QList<int>{0x202, 0x203, 0x202, 0x205, 0x208}));
    // The window gone, its icon's clicks go nowhere.
    emit icon->activated(QSystemTrayIcon::Trigger);
    w.reset();
    QCoreApplication::processEvents();
    QVERIFY(area.notifyIcon(NIM_DELETE, r));
}

void TestNotifyArea::balloonEnds() {
    DesktopNotifyArea area(present(50, 400));
    Receiver w;
    NOTIFYICONDATAA r = record(hWndOf(w), NIF_MESSAGE);
    QVERIFY(area.notifyIcon(NIM_ADD, r));
    QSystemTrayIcon* icon = area.trayIcon(r.hWnd, 1);
    r.uFlags = NIF_INFO;
    put(r.szInfo, QByteArray("first\0", 6));
    r.uTimeout = 100;
    QVERIFY(area.notifyIcon(NIM_MODIFY, r));
    QTRY_COMPARE(w.codes, QList<int>{0x404});

    // A balloon replaced, then clicked: hidden, then clicked.
    w.codes.clear();
    r.uTimeout = 0xFFFFFFFF;  // held to the longest
    QVERIFY(area.notifyIcon(NIM_MODIFY, r));
    QVERIFY(area.notifyIcon(NIM_MODIFY, r));
    emit icon->messageClicked();
    QTRY_COMPARE(w.codes, (QList<int>{0x403, 0x405}));
    // With no balloon up, neither a click on one nor taking it down reports anything; a left
    // click, posted after them, marks the end.
    emit icon->messageClicked();
    put(r.szInfo, QByteArray(1, '\0'));
    QVERIFY(area.notifyIcon(NIM_MODIFY, r));
    emit icon->activated(QSystemTrayIcon::Trigger);
    QTRY_COMPARE(w.codes, (QList<int>{0x403, 0x405, 0x202}));

    // An empty message takes a balloon that is up down.
    w.codes.clear();
    put(r.szInfo, QByteArray("again\0", 6));
    QVERIFY(area.notifyIcon(NIM_MODIFY, r));
    put(r.szInfo, QByteArray(1, '\0'));
    QVERIFY(area.notifyIcon(NIM_MODIFY, r));
    QTRY_COMPARE(w.codes, QList<int>{0x403});
}

QTEST_MAIN(TestNotifyArea)
#include "tst_notifyarea.moc"
