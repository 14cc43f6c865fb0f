// SPDX-License-Identifier: GPL-3.0-or-later
// Raw NOTIFYICONDATAA records with any message, among clsSysTray's own calls (tooltips, balloons,
// drawn icons, mouse codes), against the desktop's notification area. What an input added it
// removes; no icon, context or bitmap may outlive it.
#include <QApplication>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QWidget>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>

#include "FuzzInput.h"
#include "platform/DesktopNotifyArea.h"
#include "platform/Gdi.h"
#include "platform/PictureBox.h"
#include "platform/RuntimeError.h"
#include "platform/WindowHandles.h"
#include "tray/clsSysTray.h"

using namespace orvane;

namespace {

struct World {
    QWidget window;
    PictureBox picture;
    DesktopNotifyArea area{{[] { return true; }, 10, 20}};
    HICON icon = 0;
    int baseIcons = 0;
    int baseBitmaps = 0;
};

World* g_world = nullptr;

// Text as the window would pass it: mostly Latin-1 and Windows-1252 bytes, any length.
QString text(fuzz::FuzzInput& in) {
    const QByteArrayView bytes = in.take(in.byte() % 2 == 0 ? in.byte() : in.u16() % 600);
    return in.flag() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
}

QVariant timeout(fuzz::FuzzInput& in) {
    switch (in.byte() % 5) {
        case 0:
            return qint32(in.u32());
        case 1:
            return double(qint64(in.u32()) * (in.flag() ? 3 : -3)) / 7.0;
        case 2:
            return text(in);
        case 3:
            return qint64(in.u32()) << 8;
        default:
            return QVariant();
    }
}

NOTIFYICONDATAA record(fuzz::FuzzInput& in, World& w) {
    NOTIFYICONDATAA r{};
    const QByteArrayView bytes = in.take(sizeof r);
    std::memcpy(&r, bytes.data(), std::size_t(bytes.size()));
    const std::uint8_t fix = in.byte();  // without these the shell refuses the record at once

    r.cbSize = (fix & 1) ? sizeof r : r.cbSize;
    r.hWnd = (fix & 2) ? hWndOf(w.window) : r.hWnd;
    r.uID = (fix & 4) ? r.uID % 4 : r.uID;
    r.hIcon = (fix & 8) ? w.icon : r.hIcon;
    r.uCallbackMessage = (fix & 16) ? WM_MOUSEMOVE : r.uCallbackMessage;
    return r;
}

using Keys = std::set<std::pair<std::uint32_t, std::uint32_t>>;

void step(fuzz::FuzzInput& in, World& w, clsSysTray& tray, Keys& keys) {
    const int call = in.byte() % 8;
    if (call <= 1) {
        const std::uint8_t m = in.byte();
        const std::uint32_t message = m < 250 ? m % 3 : in.u32();
        const NOTIFYICONDATAA r = record(in, w);
        if (Shell_NotifyIconA(message, r) && message == NIM_ADD) {
            keys.insert({r.hWnd, r.uID});
        }
    } else if (call == 2) {
        tray.TooltipText(text(in));
    } else if (call == 3) {
        const QString message = text(in);
        const std::int32_t icon = std::int32_t(in.u32());
        const QString title = text(in);
        try {
            tray.ShowBalloonTip(message, icon, title, timeout(in));
        } catch (const RuntimeError& e) {
            fuzz::check(e.number() == err::TypeMismatch || e.number() == err::Overflow,
                        "ShowBalloonTip raises only type mismatch or overflow");
        }
    } else if (call == 4) {
        std::int16_t button = std::int16_t(in.u16());  // MouseMove takes it by reference
        tray.MouseMove(button, std::int32_t(in.u32() % 0x500), w.window);
    } else if (call == 5) {
        w.picture.resize(in.byte() % 80, in.byte() % 80);
        const QColor fill = QColor::fromRgb(in.u32());
        w.picture.draw([fill](QPainter& p) { p.fillRect(p.window(), fill); });
        tray.DrawIcon(w.picture, in.flag() ? -1 : std::int32_t(in.u32() & 0xFFFFFF));
    } else if (call == 6) {
        tray.SetIcon(w.window);
    } else {  // queued notifications reach the window, and balloon timers fire
        QCoreApplication::processEvents();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: tearing Qt down in the exit handlers, after libFuzzer's own end, crashes
    // inside Qt and would be reported as a finding.
    new QApplication(*argc, *argv);
    g_world = new World;
    QImage red(16, 16, QImage::Format_ARGB32);
    red.fill(qRgba(200, 40, 40, 255));
    g_world->window.setWindowIcon(QIcon(QPixmap::fromImage(red)));
    g_world->icon = iconFromImage(QImage(16, 16, QImage::Format_ARGB32));
    setNotifyShell(&g_world->area);
    // The window's own icon picture lives as long as the window; make it before counting.
    (void)windowIconPicture(g_world->window);
    g_world->baseIcons = gdiObjectCount(GdiKind::Icon);
    g_world->baseBitmaps = gdiObjectCount(GdiKind::Bitmap);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World& w = *g_world;
    fuzz::FuzzInput in(data, size);
    Keys keys;
    {
        clsSysTray tray;
        (void)tray.Init(w.window, text(in));
        for (int calls = 0; calls < 64 && !in.empty(); ++calls) {
            step(in, w, tray, keys);
        }
    }
    NOTIFYICONDATAA r{};
    r.cbSize = sizeof r;
    for (const auto& [hWnd, uID] : keys) {
        r.hWnd = hWnd;
        r.uID = uID;
        (void)Shell_NotifyIconA(NIM_DELETE, r);
    }
    QCoreApplication::processEvents();
    keys.insert({hWndOf(w.window), 1});  // the tray's own icon
    for (const auto& [hWnd, uID] : keys) {
        fuzz::check(w.area.trayIcon(hWnd, uID) == nullptr, "removed icons are gone");
    }
    fuzz::check(gdiObjectCount(GdiKind::Icon) == w.baseIcons, "no icon outlives the input");
    fuzz::check(gdiObjectCount(GdiKind::DC) == 0, "no context outlives the input");
    // The picture box keeps its drawing surface (one bitmap) from the first drawing on.
    fuzz::check(gdiObjectCount(GdiKind::Bitmap) <= w.baseBitmaps + 1,
                "no bitmap outlives the input");
    return 0;
}
