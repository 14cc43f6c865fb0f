// SPDX-License-Identifier: GPL-3.0-or-later
#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QtTest>

#include "app/frmMain.h"
#include "support/ScriptedEngine.h"

using namespace orvane;
using orvane::test::ScriptedEngine;

namespace {

// A window with a scripted engine whose clock is the test: ticks are run by hand.
struct Rig : orvane::test::ScriptedForm {
    Rig() {
        form.tmrDisplayUpdate->stop();
        engine->statusText = QStringLiteral("Playing");
        form.comboSourceList->addItem(QStringLiteral("Test Radio,http://127.0.0.1:1/test.mp3"));
        form.comboSourceList->setCurrentIndex(0);
    }
    void tick() { form.tmrDisplayUpdate_Timer(); }
    // Runs ticks until the engine is told to play again; returns how many ticks that took.
    int ticksToRestart(int limit = 100) {
        const int before = engine->plays;
        for (int n = 1; n <= limit; ++n) {
            tick();
            if (engine->plays != before) {
                return n;
            }
        }
        return -1;
    }
    QString counter() const { return form.lblCounter->text(); }
};

}  // namespace

class TestWatchdog : public QObject {
    Q_OBJECT
  private slots:
    void frozenPositionRestartsOnTheFifteenthTick();
    void zeroFromPlayRestartsEveryEighthTick();
    void streamThatFallsToZeroRestartsOnItsNinthTick();
    void movementWithinOneTickClearsTheCount();
    void restingNeverRestarts();
    void callsPerTick();
    void statusAndMediaLabels();
    void elapsedTimeText_data();
    void elapsedTimeText();
    void counterLabelRules();
    void playAndStop();
    void volumeButtons();
};

void TestWatchdog::frozenPositionRestartsOnTheFifteenthTick() {
    Rig r;
    r.form.cmdPlay_Click();
    r.engine->position = 42.5;
    r.tick();  // 0 -> 42.5 is movement
    QCOMPARE(r.form.FailCounter, 0.0);
    for (int i = 1; i <= 14; ++i) {
        r.tick();
        QCOMPARE(r.form.FailCounter, double(i));
    }
    QCOMPARE(r.engine->plays, 1);  // Play's own call only: 14 does not restart
    r.tick();
    QCOMPARE(r.engine->plays, 2);
    QCOMPARE(r.form.FailCounter, 0.0);
    QCOMPARE(r.form.PlayCounter, 42.5);
    // The position is still 42 s, so the time text replaces "RESTARTING" in the same tick.
    QCOMPARE(r.counter(), QStringLiteral("00:42"));
    QCOMPARE(r.ticksToRestart(), 15);
}

void TestWatchdog::zeroFromPlayRestartsEveryEighthTick() {
    Rig r;
    r.form.cmdPlay_Click();
    QCOMPARE(r.counter(), QStringLiteral("PLAY"));
    for (int i = 1; i <= 7; ++i) {
        r.tick();
        QCOMPARE(r.form.FailCounter, 2.0 * i);
        QCOMPARE(r.counter(), QStringLiteral("PLAY"));
    }
    r.tick();
    QCOMPARE(r.engine->plays, 2);
    QCOMPARE(r.form.FailCounter, 0.0);
    QCOMPARE(r.counter(), QStringLiteral("RESTARTING"));
    // The engine's URL is not rewritten: it plays again what it has.
    QCOMPARE(r.engine->url, QStringLiteral("http://127.0.0.1:1/test.mp3"));
    QCOMPARE(r.ticksToRestart(), 8);
    QCOMPARE(r.ticksToRestart(), 8);
}

void TestWatchdog::streamThatFallsToZeroRestartsOnItsNinthTick() {
    Rig r;
    r.form.cmdPlay_Click();
    for (double p : {1.0, 2.0, 3.0}) {
        r.engine->position = p;
        r.tick();
    }
    QCOMPARE(r.form.FailCounter, 0.0);
    r.engine->position = 0;
    QCOMPARE(r.ticksToRestart(), 9);
}

void TestWatchdog::movementWithinOneTickClearsTheCount() {
    Rig r;
    r.form.cmdPlay_Click();
    r.engine->position = 10;
    r.tick();
    // p1 still equals the kept 10 (stall: +1), p2 is not 0, p3 has moved on (clear).
    r.engine->positions = {10, 10.5, 11, 11, 11};
    double countAtThirdRead = -1;
    r.engine->resetCounts();
    r.engine->onPositionRead = [&](int n) {
        if (n == 3) {
            countAtThirdRead = r.form.FailCounter;
        }
    };
    r.tick();
    QCOMPARE(countAtThirdRead, 1.0);
    QCOMPARE(r.form.FailCounter, 0.0);
    QCOMPARE(r.form.PlayCounter, 11.0);  // the fourth read is kept, not the first
}

void TestWatchdog::restingNeverRestarts() {
    Rig r;
    r.form.cmdPlay_Click();
    r.engine->position = 5;
    r.tick();
    r.tick();
    r.form.cmdStop_Click();
    QCOMPARE(r.form.FailCounter, 0.0);
    for (double p : {5.0, 0.0}) {  // an engine frozen mid-stream, then one back at 0
        r.engine->position = p;
        QCOMPARE(r.ticksToRestart(40), -1);
        QCOMPARE(r.form.FailCounter, 0.0);
        QCOMPARE(r.form.PlayCounter, p);  // the kept position still follows the engine
    }
    QCOMPARE(r.counter(), QStringLiteral("STOP"));
}

void TestWatchdog::callsPerTick() {
    Rig r;
    r.form.cmdPlay_Click();
    const auto expectCalls = [&r](int media, int plays) {
        r.engine->resetCounts();
        r.tick();
        QCOMPARE(r.engine->statusReads, 1);
        QCOMPARE(r.engine->mediaReads, media);
        QCOMPARE(r.engine->positionReads, 5);
        QCOMPARE(r.engine->plays, plays);
    };
    expectCalls(2, 0);
    r.engine->statusText = QStringLiteral("Stopped");
    expectCalls(0, 0);
    r.form.FailCounter = 14;  // the next zero tick adds 2 and restarts
    expectCalls(0, 1);
}

void TestWatchdog::statusAndMediaLabels() {
    Rig r;
    // Idle texts clear all three labels and read no media, whatever PlayFlag says.
    for (const QString& idle : {QStringLiteral("Stopped"), QString(), QStringLiteral("Ready")}) {
        for (std::int16_t flag : {0, 1}) {
            r.form.PlayFlag = flag;
            r.engine->statusText = idle;
            r.form.lblSource->setText(QStringLiteral("x"));
            r.engine->resetCounts();
            r.tick();
            QCOMPARE(r.form.lblSource->text(), QString());
            QCOMPARE(r.form.lblURL->text(), QString());
            QCOMPARE(r.form.lblNowPlaying->text(), QString());
            QCOMPARE(r.engine->mediaReads, 0);
        }
    }
    // Anything else is shown as read, near-misses included.
    r.engine->name = QStringLiteral("<b>Artist</b> - Song & Co");
    for (const QString& text : {QStringLiteral("stopped"), QStringLiteral("Ready "),
                                QStringLiteral("Buffering 35%"), QStringLiteral("Error: x")}) {
        r.engine->statusText = text;
        r.tick();
        QCOMPARE(r.form.lblSource->text(), text);
        QCOMPARE(r.form.lblURL->text(), r.engine->sourceURL);
        QCOMPARE(r.form.lblNowPlaying->text(), r.engine->name);
    }
    QCOMPARE(r.form.lblNowPlaying->textFormat(), Qt::PlainText);
}

void TestWatchdog::elapsedTimeText_data() {
    QTest::addColumn<double>("position");
    QTest::addColumn<QString>("text");
    QTest::newRow("3725.9") << 3725.9 << "1:02:05";
    QTest::newRow("65") << 65.0 << "01:05";
    QTest::newRow("59.99") << 59.99 << "00:59";
    QTest::newRow("1.0") << 1.0 << "00:01";
    QTest::newRow("3600") << 3600.0 << "1:00:00";
    QTest::newRow("36000") << 36000.0 << "10:00:00";
    QTest::newRow("360000") << 360000.0 << "100:00:00";
    QTest::newRow("3599.5") << 3599.5 << "59:59";
}

void TestWatchdog::elapsedTimeText() {
    QFETCH(double, position);
    QFETCH(QString, text);
    Rig r;
    r.engine->position = position;
    r.tick();
    QCOMPARE(r.counter(), text);
}

void TestWatchdog::counterLabelRules() {
    Rig r;
    for (double p : {0.0, 0.5}) {
        r.engine->position = p;
        r.tick();
        QCOMPARE(r.counter(), QStringLiteral("STOP"));
    }
    // Resting with an engine that still reports 12 s: the time shows until it falls below 1 s.
    r.engine->position = 12;
    r.tick();
    QCOMPARE(r.counter(), QStringLiteral("00:12"));
    r.engine->position = 0.999;
    r.tick();
    QCOMPARE(r.counter(), QStringLiteral("STOP"));
    // Watching below one second: the caption stays as it was.
    r.form.cmdPlay_Click();
    r.engine->position = 0.5;
    r.tick();
    QCOMPARE(r.counter(), QStringLiteral("PLAY"));
}

void TestWatchdog::playAndStop() {
    Rig r;
    // An entry without a comma: all name, empty URL, and playback is wanted all the same.
    r.form.comboSourceList->setEditText(QStringLiteral("No comma here"));
    r.form.cmdPlay_Click();
    QCOMPARE(r.form.lblNowPlaying->text(), QStringLiteral("No comma here"));
    QCOMPARE(r.engine->url, QString());
    QCOMPARE(r.form.PlayFlag, 1);
    QCOMPARE(r.engine->plays, 1);

    // Play while playing: the new URL replaces the old and the counters start again.
    r.engine->position = 30;
    r.tick();
    r.tick();
    QCOMPARE(r.form.FailCounter, 1.0);
    r.form.comboSourceList->setEditText(QStringLiteral("Other, http://127.0.0.1:2/x,y"));
    r.form.cmdPlay_Click();
    QCOMPARE(r.engine->url, QStringLiteral(" http://127.0.0.1:2/xy"));
    QCOMPARE(r.form.lblNowPlaying->text(), QStringLiteral("Other"));
    QCOMPARE(r.form.FailCounter, 0.0);
    QCOMPARE(r.form.PlayCounter, 0.0);
    QCOMPARE(r.engine->plays, 2);

    r.form.cmdStop_Click();
    QCOMPARE(r.counter(), QStringLiteral("STOP"));
    QCOMPARE(r.engine->stops, 1);
    QCOMPARE(r.form.PlayFlag, 0);
    QCOMPARE(r.form.FailCounter, 0.0);
    // Stop while nothing plays still tells the engine; PlayCounter keeps its value.
    r.form.PlayCounter = 7;
    r.form.cmdStop_Click();
    QCOMPARE(r.engine->stops, 2);
    QCOMPARE(r.form.PlayCounter, 7.0);
}

void TestWatchdog::volumeButtons() {
    Rig r;
    const auto press = [&r](void (frmMain::*handler)(), int from) {
        r.engine->vol = from;
        (r.form.*handler)();
        return r.form.lblVolume->text();
    };
    QCOMPARE(press(&frmMain::cmdVolUp_Click, 98), QStringLiteral("100%"));
    QCOMPARE(press(&frmMain::cmdVolUp_Click, 25), QStringLiteral("30%"));
    QCOMPARE(press(&frmMain::cmdVolUpSmall_Click, 100), QStringLiteral("100%"));
    QCOMPARE(press(&frmMain::cmdVolUpSmall_Click, 41), QStringLiteral("42%"));
    QCOMPARE(press(&frmMain::cmdVolDown_Click, 3), QStringLiteral("0%"));
    QCOMPARE(press(&frmMain::cmdVolDown_Click, 50), QStringLiteral("45%"));
    QCOMPARE(press(&frmMain::cmdVolDownSmall_Click, 0), QStringLiteral("0%"));
    QCOMPARE(press(&frmMain::cmdVolDownSmall_Click, 1), QStringLiteral("0%"));
    // The label shows what the engine reports back, not what was written.
    QCOMPARE(r.engine->vol, 0);
}

QTEST_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
