#include <QMouseEvent>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "RecordingShell.h"
#include "ScriptedEngine.h"
#include "WindowHandles.h"
#include "clsSysTray.h"
#include "frmMain.h"

using namespace orvane;
using orvane::test::RecordingShell;

namespace {

// The window after start-up, its list read from a folder of its own.
struct LoadedForm {
    frmMain form{std::unique_ptr<MediaBackend>(new orvane::test::ScriptedEngine)};
    LoadedForm() {
        QTemporaryDir dir;
        QFile list(dir.filePath(QStringLiteral("orvaneplayer.ini")));
        if (list.open(QIODevice::WriteOnly)) {
            list.write("Local,http://127.0.0.1:9/never\r\n");
            list.close();
        }
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        form.Form_Load();
        QDir::setCurrent(old);
    }
};

// A notification as the shell delivers it: a mouse move with the code in X.
void notify(QWidget& window, double x) {
    QMouseEvent move(QEvent::MouseMove, QPointF(x, 0), window.mapToGlobal(QPointF(x, 0)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &move);
}

}  // namespace

class TestTrayWindow : public QObject {
    Q_OBJECT
  private slots:
    void loadAddsTheIconAndUnloadRemovesIt();
    void minimiseAndRestore_data();
    void minimiseAndRestore();
    void xRoundsHalfToEven();
};

void TestTrayWindow::loadAddsTheIconAndUnloadRemovesIt() {
    RecordingShell shell;
    LoadedForm f;
    QCOMPARE(shell.calls.size(), std::size_t(3));
    QCOMPARE(shell.calls[0].u32(4), hWndOf(f.form));
    QCOMPARE(shell.calls[1].icon.size(), QSize(16, 16));
    QCOMPARE(shell.calls[2].bytes.mid(24, 14), QByteArray("Orvane Player\0", 14));
    std::int16_t cancel = 0;
    f.form.Form_Unload(cancel);
    QCOMPARE(cancel, std::int16_t(0));
    QVERIFY(!f.form.SysTray);
    QCOMPARE(shell.calls.size(), std::size_t(4));
    QCOMPARE(shell.calls[3].message, NIM_DELETE);
    // Moves after shut-down have no component to go to.
    notify(f.form, 0x202);
}

void TestTrayWindow::minimiseAndRestore_data() {
    QTest::addColumn<bool>("added");
    QTest::addColumn<bool>("areaLater");
    QTest::newRow("tray") << true << true;
    QTest::newRow("no tray at start-up") << false << false;
    QTest::newRow("tray host gone since") << true << false;
}

void TestTrayWindow::minimiseAndRestore() {
    QFETCH(bool, added);
    QFETCH(bool, areaLater);
    RecordingShell shell;
    shell.result = shell.area = added;
    LoadedForm f;
    f.form.show();
    shell.area = areaLater;
    f.form.setWindowState(Qt::WindowMinimized);
    // Hidden only with a way back through the tray; otherwise minimised where it can be found.
    QCOMPARE(f.form.isHidden(), added && areaLater);
    QVERIFY(f.form.windowState() & Qt::WindowMinimized);
    // A right click, a lone double-click code and balloon ends show nothing.
    for (const double x : {0x205, 0x203, 0x403, 0x404, 0x405}) {
        notify(f.form, x);
        QCOMPARE(f.form.isHidden(), added && areaLater);
    }
    // A left click restores, and leaves a shown window shown and normal.
    for (int i = 0; i < 2; ++i) {
        notify(f.form, 0x202);
        QVERIFY(f.form.isVisible());
        QCOMPARE(f.form.windowState(), Qt::WindowNoState);
    }
}

void TestTrayWindow::xRoundsHalfToEven() {
    RecordingShell shell;
    LoadedForm f;
    QSignalSpy left(f.form.SysTray.get(), &clsSysTray::LeftClick);
    QSignalSpy dbl(f.form.SysTray.get(), &clsSysTray::DoubleClick);
    f.form.Form_MouseMove(0, 0, 514.5f, 0);   // 514
    f.form.Form_MouseMove(1, 1, 513.5f, 7);   // 514
    f.form.Form_MouseMove(0, 0, 514.51f, 0);  // 515
    f.form.Form_MouseMove(0, 0, 515.5f, 0);   // 516: no code
    notify(f.form, 513.5);                    // through the window's own handling
    QCOMPARE(left.count(), 3);
    QCOMPARE(dbl.count(), 1);
}

QTEST_MAIN(TestTrayWindow)
#include "tst_traywindow.moc"
