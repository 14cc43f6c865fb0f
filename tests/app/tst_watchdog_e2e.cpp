// SPDX-License-Identifier: GPL-3.0-or-later
// The whole chain for real: the window, the GStreamer engine and a local Icecast server. The
// watchdog must bring the stream back by itself after a stalled server, and the player area shows
// the sound only while there is sound and the window can be seen. How the engine alone
// recovers from the other faults, and the titles it reads, are shown against the same server in
// test_gstbackend; what the labels and the counter show, with a scripted engine in test_watchdog.
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "app/frmMain.h"
#include "engine/GstBackend.h"
#include "engine/SoundAnalysis.h"
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
// The display follows what is heard: it shows the sound within half a second of its start and
// is flat within a second of STOP.
constexpr qint64 kShowsSoundMs = 500;
constexpr int kFlatAfterStopMs = 1000;
// Long enough for measurements that should not come to show.
constexpr int kQuietMs = 1500;

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
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        const auto position = [&] {
            return form.WindowsMediaPlayer1->controls().currentPosition();
        };
        const auto counter = [&] { return form.lblCounter->text(); };
        const auto soundShown = [&] {
            return !test::soundBars(form.WindowsMediaPlayer1).isEmpty();
        };
        // 1. PLAY: the time counts up, and the display moves as soon as the sound is heard.
        QTest::mouseClick(form.cmdPlay, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor(
            [&] { return form.WindowsMediaPlayer1->status() == QLatin1String("Playing"); },
            kFirstTickMs));
        QElapsedTimer heard;
        heard.start();
        QVERIFY(QTest::qWaitFor(soundShown, kFirstTickMs));
        qInfo() << "the display moved" << heard.elapsed() << "ms after the sound started";
        QVERIFY(heard.elapsed() <= kShowsSoundMs);
        QTRY_COMPARE_WITH_TIMEOUT(counter(), QStringLiteral("00:01"), kFirstTickMs);

        // Hidden to the tray (what minimising does where there is one): the engine posts no
        // measurements, beyond one that may have been under way. Shown again, the sound is back.
        form.hide();
        const quint64 posted = soundMessagesPosted();
        QVERIFY(posted > 0);
        QVERIFY(!QTest::qWaitFor([&] { return soundMessagesPosted() > posted + 1; }, kQuietMs));
        form.show();
        QVERIFY(QTest::qWaitFor(soundShown, kFirstTickMs));

        // 2. A true stall: the server freezes with the connection open. The position freezes
        // once the buffered audio has played, and so does the display, long before the watchdog
        // restarts fifteen ticks later.
        icecast.pauseServer();
        QTRY_VERIFY_WITH_TIMEOUT(!soundShown(), kWatchdogMs);
        QVERIFY(counter() != QLatin1String("RESTARTING"));
        QTRY_COMPARE_WITH_TIMEOUT(counter(), QStringLiteral("RESTARTING"), kWatchdogMs);
        icecast.resumeServer();
        if (!QTest::qWaitFor([&] { return icecast.mountLive(); }, kTickMs)) {
            QVERIFY2(icecast.startSource(), qPrintable(icecast.lastError()));
        }
        // The position moves on by itself again, and so does the display.
        QTRY_VERIFY_WITH_TIMEOUT(position() > 0, kRecoverMs);
        const double resumed = position();
        QTRY_VERIFY_WITH_TIMEOUT(position() >= resumed + 1.5, kRecoverMs);
        QVERIFY(soundShown());

        // 3. STOP: the display is flat at once, the next tick sees the engine idle, and nothing
        // reconnects.
        QTest::mouseClick(form.cmdStop, Qt::LeftButton);
        QElapsedTimer stopped;
        stopped.start();
        QVERIFY(QTest::qWaitFor([&] { return !soundShown(); }, kFlatAfterStopMs));
        qInfo() << "the display was flat" << stopped.elapsed() << "ms after STOP";
        QTRY_VERIFY_WITH_TIMEOUT(form.lblSource->text().isEmpty(), kTickMs);
        QTRY_COMPARE_WITH_TIMEOUT(icecast.listeners().size(), 0, kTickMs);
        QVERIFY(!QTest::qWaitFor([&] { return !icecast.listeners().isEmpty(); }, kTickMs));
        QCOMPARE(counter(), QStringLiteral("STOP"));
    }
};

QTEST_MAIN(TestWatchdogEndToEnd)
#include "tst_watchdog_e2e.moc"
