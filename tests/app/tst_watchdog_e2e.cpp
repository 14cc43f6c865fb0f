// SPDX-License-Identifier: GPL-3.0-or-later
// The whole chain for real: the window, the GStreamer engine and a local Icecast server. The
// watchdog must bring the stream back by itself after a stalled server. How the engine alone
// recovers from the other faults, and the titles it reads, are shown against the same server in
// test_gstbackend; what the labels and the counter show, with a scripted engine in test_watchdog.
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "app/frmMain.h"
#include "engine/GstBackend.h"
#include "support/IcecastFixture.h"
#include "support/ScriptedEngine.h"

using namespace orvane;
using orvane::test::IcecastFixture;

namespace {

constexpr int kFirstTickMs = 10000;  // PLAY to the first second counted, with ASan
// Fifteen ticks without progress, the engine's own attempts included, and room for ASan.
constexpr int kWatchdogMs = 30000;
constexpr int kRecoverMs = 25000;
constexpr int kTickMs = 3000;

}  // namespace

class TestWatchdogEndToEnd : public QObject {
    Q_OBJECT
  private slots:
    void keepsPlayingThroughStallsAndDrops() {
        IcecastFixture icecast;
        QVERIFY2(icecast.start(), qPrintable(icecast.lastError()));
        const test::ListFolder list("Local Test Radio," + icecast.url().toUtf8() + '\n');
        frmMain form{createGstBackend()};
        list.load(form);
        form.show();

        const auto position = [&] {
            return form.WindowsMediaPlayer1->controls().currentPosition();
        };
        const auto counter = [&] { return form.lblCounter->text(); };
        // 1. PLAY: the time counts up.
        QTest::mouseClick(form.cmdPlay, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(counter(), QStringLiteral("00:01"), kFirstTickMs);

        // 2. A true stall: the server freezes with the connection open. The position freezes
        // once the buffered audio has played, and fifteen ticks later the watchdog restarts.
        icecast.pauseServer();
        QTRY_COMPARE_WITH_TIMEOUT(counter(), QStringLiteral("RESTARTING"), kWatchdogMs);
        icecast.resumeServer();
        if (!QTest::qWaitFor([&] { return icecast.mountLive(); }, kTickMs)) {
            QVERIFY2(icecast.startSource(), qPrintable(icecast.lastError()));
        }
        // The position moves on by itself again.
        QTRY_VERIFY_WITH_TIMEOUT(position() > 0, kRecoverMs);
        const double resumed = position();
        QTRY_VERIFY_WITH_TIMEOUT(position() >= resumed + 1.5, kRecoverMs);

        // 3. STOP: the next tick sees the engine idle, and nothing reconnects.
        QTest::mouseClick(form.cmdStop, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(form.lblSource->text().isEmpty(), kTickMs);
        QTRY_COMPARE_WITH_TIMEOUT(icecast.listeners().size(), 0, kTickMs);
        QVERIFY(!QTest::qWaitFor([&] { return !icecast.listeners().isEmpty(); }, kTickMs));
        QCOMPARE(counter(), QStringLiteral("STOP"));
    }
};

QTEST_MAIN(TestWatchdogEndToEnd)
#include "tst_watchdog_e2e.moc"
