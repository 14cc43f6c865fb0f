// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/WindowHandles.h"

#include <QHash>
#include <QIcon>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

namespace orvane {

namespace {

struct Entry {
    QPointer<QWidget> window;
    Picture icon;
    qint64 iconKey = 0;
};

struct Registry {
    QHash<std::uint32_t, Entry> byHandle;
    QHash<const QWidget*, std::uint32_t> byWindow;
    std::uint32_t next = 0x00020000;
};

// Never destroyed, like the GDI table, so that no order of static destruction matters.
Registry& registry() {
    static Registry& r = *new Registry;
    return r;
}

}  // namespace

std::uint32_t hWndOf(QWidget& window) {
    Registry& r = registry();
    if (const auto it = r.byWindow.constFind(&window); it != r.byWindow.constEnd()) {
        return *it;
    }
    do {
        r.next += 2;
    } while (r.next == 0 || r.byHandle.contains(r.next));
    const std::uint32_t h = r.next;
    r.byHandle.insert(h, Entry{&window, Picture(), 0});
    r.byWindow.insert(&window, h);
    // destroyed() comes from ~QObject, when the widget part is already gone: only the address
    // is used, as a key.
    QObject::connect(&window, &QObject::destroyed, [h, key = &window] {
        Registry& reg = registry();
        reg.byHandle.remove(h);
        reg.byWindow.remove(key);
    });
    return h;
}

QWidget* windowFromHWnd(std::uint32_t hWnd) {
    const Registry& r = registry();
    const auto it = r.byHandle.constFind(hWnd);
    return it == r.byHandle.constEnd() ? nullptr : it->window.data();
}

Picture windowIconPicture(QWidget& window) {
    Entry& e = registry().byHandle[hWndOf(window)];
    const QIcon icon = window.windowIcon();
    if (icon.isNull()) {
        e.icon = Picture();
        e.iconKey = 0;
    } else if (e.icon.type() == Picture::Type::None || e.iconKey != icon.cacheKey()) {
        const QImage image = icon.pixmap(QSize(16, 16), 1.0).toImage();
        e.icon = Picture::fromIcon(iconFromImage(image));
        e.iconKey = icon.cacheKey();
    }
    return e.icon;
}

}  // namespace orvane
