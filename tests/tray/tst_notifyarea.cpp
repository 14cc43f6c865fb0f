// SPDX-License-Identifier: GPL-3.0-or-later
#include <QMouseEvent>
#include <QSystemTrayIcon>
#include <QtTest>
#include <cstring>

#include "platform/DesktopNotifyArea.h"
#include "platform/Gdi.h"
#include "platform/WindowHandles.h"

using namespace orvane;

namespace {

// A window that notes the X of each mouse move it gets.
class Receiver : public QWidget {
  public:
    QList<int> codes;
    Receiver() { setMouseTracking(true); }

  protected:
    void mouseMoveEvent(QMouseEvent* e) override { codes << int(e->position().x()); }
};

template <std::size_t N>
void put(char (&field)[N], const QByteArray& bytes) {
    std::memcpy(field, bytes.constData(), std::min(N, std::size_t(bytes.size())));
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
    void appliesOnlyTheNamedFields() {
        DesktopNotifyArea area(present());
        Receiver w;
        NOTIFYICONDATAA r = record(hWndOf(w), NIF_MESSAGE);
        put(r.szTip, QByteArray("Caf\xe9 \x80\0rest", 12));
        QVERIFY(area.notifyIcon(NIM_ADD, r));
        QSystemTrayIcon* icon = area.trayIcon(r.hWnd, 1);
        QVERIFY(icon->toolTip().isEmpty());
        // Windows-1252, up to the NUL.
        r.uFlags = NIF_TIP;
        QVERIFY(area.notifyIcon(NIM_MODIFY, r));
        QCOMPARE(icon->toolTip(), QStringLiteral("Café €"));
        // No NUL, and printable bytes right after the field: the tip ends at 128.
        put(r.szTip, QByteArray(128, 'a'));
        r.dwState = 0x42424242;
        QVERIFY(area.notifyIcon(NIM_MODIFY, r));
        QCOMPARE(icon->toolTip(), QString(128, 'a'));
        // The icon's pixels are copied: the handle can go at once.
        QImage image(16, 16, QImage::Format_ARGB32);
        image.fill(qRgba(10, 200, 30, 255));
        image.setPixel(0, 0, qRgba(0, 0, 0, 0));
        r.hIcon = iconFromImage(image);
        r.uFlags = NIF_ICON;
        QVERIFY(area.notifyIcon(NIM_MODIFY, r));
        QVERIFY(DestroyIcon(r.hIcon));
        QCOMPARE(icon->icon().pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32),
                 image);
        QCOMPARE(icon->toolTip(), QString(128, 'a'));

        // Refusals: a second add, a layout we do not read, a delete of what is gone, no window, no
        // notification area.
        QVERIFY(!area.notifyIcon(NIM_ADD, r));
        r.cbSize = 504;
        QVERIFY(!area.notifyIcon(NIM_DELETE, r));
        r.cbSize = 488;
        QVERIFY(area.notifyIcon(NIM_DELETE, r) && !area.notifyIcon(NIM_DELETE, r));
        QVERIFY(!area.notifyIcon(NIM_ADD, record(r.hWnd + 2, NIF_MESSAGE)));
        DesktopNotifyArea none({[] { return false; }, 10000, 30000});
        QVERIFY(!none.notifyIcon(NIM_ADD, r));
    }
    void clicksReachTheWindowAsMouseMoves() {
        DesktopNotifyArea area(present());
        auto w = std::make_unique<Receiver>();
        const NOTIFYICONDATAA r = record(hWndOf(*w), NIF_MESSAGE);
        QVERIFY(area.notifyIcon(NIM_ADD, r));
        QSystemTrayIcon* icon = area.trayIcon(r.hWnd, 1);
        emit icon->activated(QSystemTrayIcon::Trigger);
        // Posted, as the old shell's callback messages were.
        QVERIFY(w->codes.isEmpty());
        emit icon->activated(QSystemTrayIcon::DoubleClick);
        emit icon->activated(QSystemTrayIcon::Context);
        emit icon->activated(QSystemTrayIcon::MiddleClick);
        QTRY_COMPARE(w->codes, (QList<int>{0x202, 0x203, 0x202, 0x205, 0x208}));
        // With the window gone, a click goes nowhere.
        emit icon->activated(QSystemTrayIcon::Trigger);
        w.reset();
        QCoreApplication::processEvents();
    }
    void balloonEnds() {
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

        // Replaced, then clicked; a time-out of -1 is held to the longest.
        r.uTimeout = 0xFFFFFFFF;
        QVERIFY(area.notifyIcon(NIM_MODIFY, r));
        QVERIFY(area.notifyIcon(NIM_MODIFY, r));
        emit icon->messageClicked();
        // With no balloon up, neither a click on one nor taking it down reports anything; the left
        // click posted after them marks the end.
        emit icon->messageClicked();
        put(r.szInfo, QByteArray(1, '\0'));
        QVERIFY(area.notifyIcon(NIM_MODIFY, r));
        emit icon->activated(QSystemTrayIcon::Trigger);
        QTRY_COMPARE(w.codes, (QList<int>{0x404, 0x403, 0x405, 0x202}));
    }
};

QTEST_MAIN(TestNotifyArea)
#include "tst_notifyarea.moc"
