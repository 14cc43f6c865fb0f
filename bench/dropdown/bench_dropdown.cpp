// SPDX-License-Identifier: GPL-3.0-or-later
// The largest source lists the window accepts (1 MiB of the shortest lines, and 1 MiB of the
// longest), timed from start-up's read to a painted drop-down. Prints milliseconds per step.
//
//   QT_QPA_PLATFORM=offscreen build/bench/dropdown/bench_dropdown
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "app/frmMain.h"
#include "support/ScriptedEngine.h"

namespace {

constexpr qint64 kMaxListBytes = 1024 * 1024;
constexpr int kMaxLineUnits = 32767;

qint64 timed(const std::function<void()>& step) {
    QElapsedTimer clock;
    clock.start();
    step();
    return clock.elapsed();
}

// Processes events until the popup's view has been shown and painted.
void settle(QAbstractItemView* view) {
    while (!view->isVisible()) {
        QCoreApplication::processEvents();
    }
    view->viewport()->repaint();
    QCoreApplication::processEvents();
}

void run(const char* name, const QByteArray& line) {
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("orvaneplayer.ini")));
    if (!file.open(QIODevice::WriteOnly)) {
        return;
    }
    for (qint64 n = 0; n + line.size() <= kMaxListBytes; n += line.size()) {
        file.write(line);
    }
    file.close();
    const QString old = QDir::currentPath();
    QDir::setCurrent(dir.path());
    orvane::test::ScriptedForm f;
    f.form.tmrDisplayUpdate->stop();
    const qint64 load = timed([&] { f.form.Form_Load(); });
    QDir::setCurrent(old);
    f.form.show();
    QComboBox* list = f.form.comboSourceList;
    QAbstractItemView* view = list->view();
    const qint64 open = timed([&] {
        list->showPopup();
        settle(view);
    });
    const qint64 toEnd = timed([&] {
        view->scrollToBottom();
        settle(view);
    });
    list->hidePopup();
    const qint64 reopen = timed([&] {
        list->showPopup();
        settle(view);
    });
    list->hidePopup();
    std::printf(
        "%-28s %7d entries  load %5lld ms  open %5lld ms  to end %5lld ms  reopen %5lld ms\n", name,
        list->count(), static_cast<long long>(load), static_cast<long long>(open),
        static_cast<long long>(toEnd), static_cast<long long>(reopen));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    run("1 MiB of 9-character lines", "Station,u\n");
    run("1 MiB of 32767-unit lines", "Station," + QByteArray(kMaxLineUnits - 8, 'u') + "\n");
    return 0;
}
