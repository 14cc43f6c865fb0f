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
using orvane::test::ScriptedEngine;

namespace {

// The window after start-up, loaded from a list in a folder of its own.
struct LoadedForm {
    std::unique_ptr<frmMain> form =
        std::make_unique<frmMain>(std::unique_ptr<MediaBackend>(new ScriptedEngine));

    LoadedForm() {
        QTemporaryDir dir;
        QFile list(dir.filePath(QStringLiteral("orvaneplayer.ini")));
        if (list.open(QIODevice::WriteOnly)) {
            list.write("Local,http://127.0.0.1:9/never\r\n");
            list.close();
        }
        const QString old = QDir::currentPath();
        QDir::setCurrent(dir.path());
        form->Form_Load();
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
    void minimiseHidesOnlyWithATray_data();
    void minimiseHidesOnlyWithATray();
    void leftClickRestores();
    void xRoundsHalfToEven();
};

void TestTrayWindow::loadAddsTheIconAndUnloadRemovesIt() {
    RecordingShell shell;
    LoadedForm f;
    QVERIFY(f.form->SysTray);
    QCOMPARE(shell.calls.size(), std::size_t(3));
    QCOMPARE(shell.calls[0].message, NIM_ADD);
    QCOMPARE(shell.calls[0].u32(4), hWndOf(*f.form));
    QCOMPARE(shell.calls[1].icon.size(), QSize(16, 16));
    QCOMPARE(shell.calls[2].tip(), orvane::test::expectedField("Orvane Player", 128));
    QCOMPARE(f.form->SysTray->TooltipText(), QStringLiteral("Orvane Player"));

    std::int16_t cancel = 0;
    f.form->Form_Unload(cancel);
    QCOMPARE(cancel, std::int16_t(0));
    QVERIFY(!f.form->SysTray);
    QCOMPARE(shell.calls.size(), std::size_t(4));
    QCOMPARE(shell.calls[3].message, NIM_DELETE);
    QCOMPARE(shell.calls[3].u32(4), hWndOf(*f.form));
}

void TestTrayWindow::minimiseHidesOnlyWithATray_data() {
    QTest::addColumn<bool>("added");
    QTest::addColumn<bool>("areaLater");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("tray") << true << true << true;
    QTest::newRow("no tray at start-up") << false << false << false;
    QTest::newRow("tray host gone since") << true << false << false;
}

void TestTrayWindow::minimiseHidesOnlyWithATray() {
    QFETCH(bool, added);
    QFETCH(bool, areaLater);
    QFETCH(bool, hidden);
    RecordingShell shell;
    shell.result = added;
    shell.area = added;
    LoadedForm f;
    f.form->show();
    shell.area = areaLater;
    f.form->setWindowState(Qt::WindowMinimized);
    QCOMPARE(f.form->isHidden(), hidden);
    // Without a way back through the tray the window stays minimised where the user can find it.
    QVERIFY(f.form->windowState() & Qt::WindowMinimized);
    // Other states change nothing.
    f.form->setWindowState(Qt::WindowMaximized);
    QCOMPARE(f.form->isHidden(), hidden);
}

void TestTrayWindow::leftClickRestores() {
    RecordingShell shell;
    LoadedForm f;
    f.form->show();
    f.form->setWindowState(Qt::WindowMinimized);
    QVERIFY(f.form->isHidden());
    // A right click, a lone double-click code and a balloon's end show nothing.
    for (const double x : {0x205, 0x203, 0x403, 0x404, 0x405}) {
        notify(*f.form, x);
        QVERIFY(f.form->isHidden());
    }
    notify(*f.form, 0x202);
    QVERIFY(f.form->isVisible());
    QCOMPARE(f.form->windowState(), Qt::WindowNoState);
    // Again while shown: it stays shown and normal.
    notify(*f.form, 0x202);
    QVERIFY(f.form->isVisible());
    QCOMPARE(f.form->windowState(), Qt::WindowNoState);
}

void TestTrayWindow::xRoundsHalfToEven() {
    RecordingShell shell;
    // Before start-up there is no component to pass moves to.
    frmMain bare(std::unique_ptr<MediaBackend>(new ScriptedEngine));
    bare.Form_MouseMove(0, 0, 514, 0);

    LoadedForm f;
    QSignalSpy left(f.form->SysTray.get(), &clsSysTray::LeftClick);
    QSignalSpy dbl(f.form->SysTray.get(), &clsSysTray::DoubleClick);
    f.form->Form_MouseMove(0, 0, 514.5f, 0);  // 514
    f.form->Form_MouseMove(1, 1, 513.5f, 7);  // 514
    QCOMPARE(left.count(), 2);
    QCOMPARE(dbl.count(), 0);
    f.form->Form_MouseMove(0, 0, 514.51f, 0);  // 515
    f.form->Form_MouseMove(0, 0, 515.5f, 0);   // 516: nothing
    QCOMPARE(left.count(), 2);
    QCOMPARE(dbl.count(), 1);
    // Through the window's own mouse-move handling.
    notify(*f.form, 513.5);
    QCOMPARE(left.count(), 3);
}

QTEST_MAIN(TestTrayWindow)
#include "tst_traywindow.moc"
