// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>

#include "app/frmMain.h"
#include "engine/GstBackend.h"
#include "platform/RuntimeError.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orvaneplayer"));
    QApplication::setDesktopFileName(QStringLiteral("orvaneplayer"));
    // Hiding to the notification area is not closing: only closing the window ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    orvane::initGStreamer(&argc, &argv);

    orvane::frmMain form(orvane::createGstBackend());
    orvane::dispatch([&form] { form.Form_Load(); });
    form.show();
    return QApplication::exec();
}
