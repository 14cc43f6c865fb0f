// SPDX-License-Identifier: GPL-3.0-or-later
#include <QComboBox>
#include <QLabel>
#include <QTimer>
#include <QtTest>
#include <array>

#include "app/frmMain.h"
#include "engine/MediaNames.h"
#include "support/ScriptedEngine.h"

using namespace orvane;

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
    int ticksToRestart(int limit = 40) {
        const qsizetype before = engine->count(QStringLiteral("play"));
        for (int n = 1; n <= limit; ++n) {
            tick();
            if (engine->count(QStringLiteral("play")) != before) {
                return n;
            }
        }
        return -1;
    }
    QString counter() const { return form.lblCounter->text(); }
    // The watchdog's state in one line, so a table row's name shows with what differs.
    QString state(const char* row) const {
        return state(row, form.FailCounter, form.PlayCounter, counter());
    }
    static QString state(const char* row, double fail, double kept, const QString& counter) {
        return QStringLiteral("%1: fail %2, kept %3, %4").arg(row).arg(fail).arg(kept).arg(counter);
    }
};

}  // namespace

class TestWatchdog : public QObject {
    Q_OBJECT
  private slots:
    void restartTiming() {
        struct Row {
            const char* name;
            QList<double> moving;  // positions of the ticks before the stall
            double stuck;
            int first;  // ticks from the stall to the first restart
            int next;   // and from there to the next one
            const char* counter;
        };
        const Row rows[] = {{"frozen at 42.5", {42.5}, 42.5, 15, 15, "00:42"},
                            {"0 from Play on", {}, 0, 8, 8, "RESTARTING"},
                            {"falls to 0", {1, 2, 3}, 0, 9, 8, "RESTARTING"}};
        for (const Row& row : rows) {
            Rig r;
            r.form.cmdPlay_Click();
            for (const double p : row.moving) {
                r.engine->positions = {p};
                r.tick();
            }
            r.engine->positions = {row.stuck};
            const int first = r.ticksToRestart();
            // "RESTARTING" only while the whole seconds are 0.
            QCOMPARE(r.state(row.name) + QStringLiteral(" after %1").arg(first),
                     r.state(row.name, 0, row.stuck, row.counter) +
                         QStringLiteral(" after %1").arg(row.first));
            QCOMPARE(r.ticksToRestart(), row.next);
        }
    }
    // Of the tick's five position reads, the stall test uses the first, the zero test the second,
    // the movement test the third; the fourth is kept and the fifth shown.
    void eachTestUsesItsOwnPositionRead() {
        struct Row {
            const char* name;
            std::int16_t flag;
            double kept, failBefore;
            std::array<double, 5> reads;
            const char* expected;
        };
        const Row rows[] = {
            {"zero test 2nd", 1, 5, 3, {5, 0, 5, 5, 5}, "fail 5, kept 5, 00:05"},
            {"not 1st", 1, 0, 3, {0, 7, 0, 0, 0.5}, "fail 4, kept 0, PLAY"},
            {"movement 3rd", 1, 10, 3, {10, 10, 11, 11, 11}, "fail 0, kept 11, 00:11"},
            {"stall 1st", 1, 10, 3, {11, 10, 10, 10, 10}, "fail 3, kept 10, 00:10"},
            {"kept 4th, time 5th", 1, 10, 0, {10.5, 10.5, 10.5, 12, 65}, "fail 0, kept 12, 01:05"},
            {"resting", 0, 5, 3, {5, 0, 9, 5, 0.5}, "fail 3, kept 5, STOP"},
        };
        for (const Row& row : rows) {
            Rig r;
            r.form.cmdPlay_Click();
            r.form.PlayFlag = row.flag;
            r.form.PlayCounter = row.kept;
            r.form.FailCounter = row.failBefore;
            r.engine->positions.assign(row.reads.begin(), row.reads.end());
            r.tick();
            QCOMPARE(r.state(row.name),
                     QLatin1String(row.name) + QStringLiteral(": ") + QLatin1String(row.expected));
        }
    }
    // One status read, the URL before the name, five position reads; a restart calls play between
    // the fourth read and the fifth, and writes no URL. Idle ticks: statusAndMediaLabels.
    void callsPerTickInOrder() {
        Rig r;
        r.form.cmdPlay_Click();
        r.form.FailCounter = 14;
        r.engine->calls.clear();
        r.tick();
        QCOMPARE(r.engine->calls, QStringList({"status", "sourceURL", "name"}) +
                                      QStringList(4, "position") +
                                      QStringList({"play", "position"}));
    }
    void statusAndMediaLabels() {
        Rig r;
        // Idle texts clear all three labels and read no media, whatever PlayFlag says.
        for (const QString& idle :
             {QStringLiteral("Stopped"), QStringLiteral("Ready"), QString()}) {
            for (std::int16_t flag : {0, 1}) {
                r.form.PlayFlag = flag;
                r.engine->statusText = idle;
                r.form.lblSource->setText(QStringLiteral("x"));
                r.engine->calls.clear();
                r.tick();
                QCOMPARE(
                    r.form.lblSource->text() + r.form.lblURL->text() + r.form.lblNowPlaying->text(),
                    QString());
                QCOMPARE(r.engine->calls.mid(0, 2), QStringList({"status", "position"}));
            }
        }
        // Anything else is shown as read, near-misses and the engine's own retries included.
        // The URL shown is the media's: for a station given by a playlist, the entry that plays,
        // also while the playlist is fetched again between tries.
        r.engine->name = QStringLiteral("<b>Artist</b> - Song & Co");
        r.engine->url = QStringLiteral("http://127.0.0.1/station.pls");
        for (const QString& text :
             {QStringLiteral("stopped"), QStringLiteral("Stopped "), QStringLiteral("Ready "),
              QStringLiteral("Reconnecting: connection refused"), QStringLiteral("Buffering 35%"),
              QStringLiteral("Error: x")}) {
            r.engine->statusText = text;
            r.tick();
            QCOMPARE(QStringList({r.form.lblSource->text(), r.form.lblURL->text(),
                                  r.form.lblNowPlaying->text()}),
                     QStringList({text, r.engine->sourceURL, r.engine->name}));
        }
    }
    void counterLabel() {
        Rig r;
        // Resting: the time from one second on (an engine not yet back at 0), "STOP" below it.
        const std::pair<double, const char*> resting[] = {
            {3725.9, "1:02:05"}, {65, "01:05"},     {59.99, "00:59"},      {1.0, "00:01"},
            {3599.5, "59:59"},   {3600, "1:00:00"}, {360000, "100:00:00"}, {0.999, "STOP"}};
        for (const auto& [p, text] : resting) {
            r.engine->positions = {p};
            r.tick();
            QCOMPARE(r.counter(), QLatin1String(text));
        }
        // While watching, a position below one second leaves "PLAY" (the "not 1st" row above).
    }
    void playAndStop() {
        Rig r;
        // By the time play is called, "PLAY" and the name are showing and the URL is written.
        QStringList seenAtPlay;
        r.engine->onPlay = [&] {
            seenAtPlay = {r.counter(), r.form.lblNowPlaying->text(), r.engine->url};
        };
        r.engine->positions = {30};
        r.tick();
        r.form.FailCounter = 5;
        r.form.comboSourceList->setEditText(QStringLiteral("Other, http://127.0.0.1:2/x,y"));
        r.engine->calls.clear();
        r.form.cmdPlay_Click();
        QCOMPARE(r.engine->calls, QStringList({"url= http://127.0.0.1:2/xy", "play"}));
        QCOMPARE(seenAtPlay, QStringList({"PLAY", "Other", " http://127.0.0.1:2/xy"}));
        QCOMPARE(r.state("play"), QStringLiteral("play: fail 0, kept 0, PLAY"));
        QCOMPARE(r.form.PlayFlag, 1);
        // An entry without a comma: all name, an empty URL, and playback is wanted all the same.
        r.form.comboSourceList->setEditText(QStringLiteral("No comma here"));
        r.form.cmdPlay_Click();
        QCOMPARE(seenAtPlay, QStringList({"PLAY", "No comma here", ""}));

        // Stop, also while nothing plays: "STOP", the engine is told, PlayCounter keeps its value.
        r.form.PlayCounter = 7;
        r.form.FailCounter = 3;
        r.engine->calls.clear();
        r.form.cmdStop_Click();
        r.form.cmdStop_Click();
        QCOMPARE(r.engine->calls, QStringList({"stop", "stop"}));
        QCOMPARE(r.state("stop"), QStringLiteral("stop: fail 0, kept 7, STOP"));
        QCOMPARE(r.form.PlayFlag, 0);
    }
    // Typed text meets the rule the list's lines meet. What breaks it reaches neither the engine
    // nor the network (the engine is only stopped), the status line says why, and a restart plays
    // nothing. The field holds one unit past the limit, so a paste it cuts stays refused.
    void typedTextFollowsTheListRule() {
        const QString url = QStringLiteral("Station,http://127.0.0.1/a");
        const QString note = QStringLiteral("\U0001F3B5");
        const QString control =
            QStringLiteral("Error: Not played: the text holds a control character");
        const QString tooLong =
            QStringLiteral("Error: Not played: the text is longer than 32767 characters");
        const std::pair<QString, QString> rows[] = {
            {url + QChar(0) + QStringLiteral("/../secret.pls"), control},
            {QStringLiteral("Sta\ttion,http://127.0.0.1/a"), control},
            {url + QChar(0x1B), control},
            {url + QChar(0x85), control},
            {note.repeated(16384), tooLong},  // 16,384 characters, 32,768 units
            {url + QString(40000, u'u'), tooLong},
            {note.repeated(16383) + QLatin1Char(','), QString()},
        };
        for (const auto& [text, status] : rows) {
            Rig r;
            r.form.comboSourceList->setEditText(text);
            r.engine->calls.clear();
            r.form.cmdPlay_Click();
            r.form.FailCounter = 14;
            r.tick();
            if (status.isEmpty()) {
                QCOMPARE(r.engine->calls.mid(0, 2), QStringList({"url=", "play"}));
                continue;
            }
            QCOMPARE(r.engine->calls, QStringList("stop") + QStringList(5, "position"));
            QCOMPARE(QStringList({r.form.lblSource->text(), r.form.lblURL->text(),
                                  r.form.lblNowPlaying->text(), r.counter()}),
                     QStringList({status, "", "", "RESTARTING"}));
            // The next PLAY of a good text plays it; STOP also ends the refusal.
            r.form.comboSourceList->setEditText(url);
            r.form.cmdPlay_Click();
            QCOMPARE(r.form.WindowsMediaPlayer1->status(), r.engine->statusText);
            QCOMPARE(r.engine->count("play"), 1);
            r.form.WindowsMediaPlayer1->refuse(QStringLiteral("x"));
            r.form.cmdStop_Click();
            QCOMPARE(r.form.WindowsMediaPlayer1->status(), r.engine->statusText);
        }
    }
    void volumeButtons() {
        struct Row {
            void (frmMain::*button)();
            int from;
            bool evenOnly;  // the engine keeps only even volumes
            int written;
            const char* label;
        };
        const Row rows[] = {{&frmMain::cmdVolUp_Click, 25, false, 30, "30%"},
                            {&frmMain::cmdVolUp_Click, 98, false, 100, "100%"},
                            {&frmMain::cmdVolDown_Click, 50, false, 45, "45%"},
                            {&frmMain::cmdVolDown_Click, 3, false, 0, "0%"},
                            {&frmMain::cmdVolDownSmall_Click, 50, false, 49, "49%"},
                            // Up buttons bound only the top, down buttons only the bottom.
                            {&frmMain::cmdVolUp_Click, -10, false, -5, "-5%"},
                            {&frmMain::cmdVolDown_Click, 150, false, 145, "145%"},
                            // The label shows what the engine reports back, not what was written.
                            {&frmMain::cmdVolUpSmall_Click, 40, true, 41, "40%"}};
        for (const Row& row : rows) {
            Rig r;
            r.engine->vol = row.from;
            if (row.evenOnly) {
                r.engine->adjustVolume = [](int v) { return v - v % 2; };
            }
            (r.form.*row.button)();
            QCOMPARE(r.engine->calls + QStringList(r.form.lblVolume->text()),
                     QStringList({"volume", QStringLiteral("volume=%1").arg(row.written), "volume",
                                  QLatin1String(row.label)}));
        }
    }
    void mediaNamesAreOneLine() {
        const QString url = QStringLiteral("http://127.0.0.1/live/jazz.mp3");
        // Control characters become spaces; a title of nothing but them counts as none.

        QCOMPARE(displayName(QStringLiteral("Artist\r\n- Song\tOne\x01"), QString(), url),
                 QStringLiteral("Artist  - Song One"));
        QCOMPARE(displayName(QStringLiteral("\r\n"), QStringLiteral("Sta\ntion\u2028"), url),
                 QStringLiteral("Sta tion"));
        QCOMPARE(displayName(QString(), QString(), QStringLiteral("\u0085Listed"), url),
                 QStringLiteral("Listed"));
    }
};

QTEST_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
