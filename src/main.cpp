// SPDX-License-Identifier: GPL-3.0-or-later
#include <malloc.h>

#include <QApplication>

#include "app/frmMain.h"
#include "config/BuildInfo.h"
#include "engine/GstBackend.h"
#include "platform/RuntimeError.h"

int main(int argc, char** argv) {
    // Every GStreamer streaming thread (and each reconnect brings new ones) would otherwise get a
    // malloc arena of its own, up to 16 on two cores, each keeping its freed memory for itself.
    // Two arenas are plenty for a handful of threads that wake a few times a second. Set before
    // any thread starts.
    mallopt(M_ARENA_MAX, 2);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orvaneplayer"));
    QApplication::setDesktopFileName(QLatin1StringView(orvane::build::kDesktopId));
    // Hiding to the notification area is not closing: only closing the window ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    orvane::initGStreamer(&argc, &argv);

    orvane::frmMain form(orvane::createGstBackend());
    orvane::dispatch([&form] { form.Form_Load(); });
    form.show();
    return QApplication::exec();
}
