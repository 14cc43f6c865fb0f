// SPDX-License-Identifier: GPL-3.0-or-later
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "app/frmMain.h"
#include "support/ScriptedEngine.h"

using namespace orvane;
using Form = orvane::test::ScriptedForm;

class TestWindow : public QObject {
    Q_OBJECT
  private slots:
    void layoutMatchesTheTable() {
        Form f;
        frmMain& w = f.form;
        QCOMPARE(w.windowTitle(), QStringLiteral("Orvane Player"));
        QCOMPARE(w.size(), QSize(649, 276));
        QCOMPARE(w.windowIcon().pixmap(16, 16).size(), QSize(16, 16));

        // Each control's place and its caption before start-up.
        const std::tuple<QWidget*, QRect, QString> expected[] = {
            {w.cmdVolDown, {360, 160, 121, 57}, "\\/"},
            {w.cmdVolUpSmall, {608, 160, 33, 57}, "/\\"},
            {w.cmdVolDownSmall, {328, 160, 33, 57}, "\\/"},
            {w.comboSourceList, {8, 224, 633, 21}, "Select Source:"},
            {w.cmdVolUp, {488, 160, 121, 57}, "/\\"},
            {w.cmdPlay, {8, 160, 153, 57}, "PLAY"},
            {w.cmdStop, {168, 160, 153, 57}, "STOP"},
            {w.lblCounter, {16, 48, 65, 25}, "STOP"},
            {w.lblURL, {16, 32, 617, 17}, "NO URL SELECTED"},
            {w.lblNowPlaying, {16, 16, 617, 17}, "READY"},
            {w.lblVolume, {592, 48, 41, 25}, "100%"},
            {w.Label1, {0, 152, 825, 137}, ""},
            {w.WindowsMediaPlayer1, {8, 72, 633, 145}, QString()},
            {w.lblSource, {16, 48, 617, 17}, "NO SOURCE SELECTED"},
            {w.lblBackground1, {8, 8, 633, 57}, ""},
        };
        for (const auto& [widget, rect, text] : expected) {
            QCOMPARE(widget->geometry(), rect);
            if (auto* l = qobject_cast<QLabel*>(widget)) {
                QCOMPARE(l->text(), text);
                QCOMPARE(l->textFormat(), Qt::PlainText);
            } else if (auto* b = qobject_cast<QPushButton*>(widget)) {
                QCOMPARE(b->text(), text);
            } else if (auto* c = qobject_cast<QComboBox*>(widget)) {
                QCOMPARE(c->currentText(), text);
            }
        }
        QCOMPARE(w.tmrDisplayUpdate->interval(), 1000);
        QVERIFY(w.tmrDisplayUpdate->isActive());

        // Bold sans for the status texts, monospaced for source and URL. The credit's ampersand
        // shows: plain text, no access key.
        for (QLabel* l : {w.lblCounter, w.lblCopyright, w.lblNowPlaying, w.lblVolume}) {
            QVERIFY(l->font().bold());
            QCOMPARE(l->font().pointSizeF(), 8.25);
            QCOMPARE(l->textFormat(), Qt::PlainText);
        }
        QCOMPARE(w.lblURL->font().pointSizeF(), 8.25);
        QCOMPARE(w.lblSource->font().pointSizeF(), 6.75);
        QVERIFY(QFontInfo(w.lblURL->font()).fixedPitch());
        QVERIFY(!w.lblURL->font().bold());
        // White on the black band, which only the band's labels paint.
        QCOMPARE(w.lblCounter->palette().color(QPalette::WindowText), QColor(Qt::white));
        QVERIFY(w.lblBackground1->autoFillBackground() && !w.lblCounter->autoFillBackground());

        // The program's own texts are readable whole in their labels.
        const std::pair<QLabel*, QStringList> fixedTexts[] = {
            {w.lblCounter, {"RESTARTING", "STOP", "PLAY", "100:00:00"}}, {w.lblVolume, {"100%"}}};
        for (const auto& [label, texts] : fixedTexts) {
            const QFontMetrics m(label->font());
            for (const QString& text : texts) {
                const int width =
                    std::max(m.horizontalAdvance(text), m.boundingRect(text).right() + 1);
                QVERIFY2(width <= label->width() && m.height() <= label->height(),
                         qPrintable(text + QStringLiteral(" is %1 px").arg(width)));
            }
        }
    }
    void mouseAndKeysReachOnlyTheRightControls() {
        Form f;
        frmMain& w = f.form;
        w.comboSourceList->addItem(QStringLiteral("Entry One,http://127.0.0.1/one"));
        w.comboSourceList->setCurrentIndex(0);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // Buttons lie over the player area and the labels, and the overlapping volume buttons
        // stack as the table says.
        QCOMPARE(w.childAt(w.cmdPlay->geometry().center()), w.cmdPlay);
        QCOMPARE(w.childAt(QPoint(360, 180)), w.cmdVolDown);
        QCOMPARE(w.childAt(QPoint(608, 180)), w.cmdVolUpSmall);
        // Labels take no mouse: a point on the black band belongs to the window itself.
        QCOMPARE(w.childAt(QPoint(5, 5)), nullptr);
        QCOMPARE(w.childAt(QPoint(300, 20)), nullptr);

        QCOMPARE(QApplication::focusWidget(), w.WindowsMediaPlayer1);
        const QList<QWidget*> tabOrder = {
            w.WindowsMediaPlayer1, w.cmdStop,       w.cmdPlay,
            w.cmdVolDown,          w.cmdVolUp,      w.comboSourceList,
            w.cmdVolDownSmall,     w.cmdVolUpSmall, w.WindowsMediaPlayer1};
        for (int i = 1; i < tabOrder.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* focus = QApplication::focusWidget();
            // The list's line edit holds focus on the list's behalf.
            if (focus != nullptr && focus->parentWidget() == w.comboSourceList) {
                focus = w.comboSourceList;
            }
            QCOMPARE(focus, tabOrder[i]);
        }

        // Return, Enter and Escape press no button.
        int clicks = 0;
        for (QPushButton* b : w.findChildren<QPushButton*>()) {
            connect(b, &QPushButton::clicked, this, [&clicks] { ++clicks; });
            b->setFocus();
            QTest::keyClick(b, Qt::Key_Return);
            QTest::keyClick(b, Qt::Key_Enter);
            QTest::keyClick(b, Qt::Key_Escape);
        }
        QCOMPARE(clicks, 0);
        QCOMPARE(f.engine->count(QStringLiteral("play")), 0);

        // Typing changes the text without selecting or adding an entry; Enter adds nothing either.
        w.comboSourceList->setFocus();
        w.comboSourceList->lineEdit()->selectAll();
        QTest::keyClicks(w.comboSourceList->lineEdit(), QStringLiteral("Typed,http://127.0.0.1/t"));
        QTest::keyClick(w.comboSourceList->lineEdit(), Qt::Key_Return);
        QCOMPARE(w.comboSourceList->currentText(), QStringLiteral("Typed,http://127.0.0.1/t"));
        QCOMPARE(w.comboSourceList->count(), 1);
    }
    void startUpFillsTheListAndSetsTheVolume() {
        Form f;
        f.engine->vol = 80;  // whatever the engine had, start-up sets 25
        f.form.PlayFlag = 1;
        f.form.FailCounter = 7;
        test::ListFolder(
            "First Station,http://127.0.0.1:1/a.mp3\r\nshort\r\nSecond "
            "Station,http://127.0.0.1:1/b.mp3\r\n")
            .load(f.form);

        // Volume, list, flag, fail count and plays, and nothing handed to the engine.
        QCOMPARE(
            QStringList({QString::number(f.engine->vol), f.form.lblVolume->text(),
                         QString::number(f.form.comboSourceList->count()),
                         f.form.comboSourceList->currentText(), QString::number(f.form.PlayFlag),
                         QString::number(f.form.FailCounter),
                         QString::number(f.engine->count(QStringLiteral("play"))), f.engine->url}),
            QStringList(
                {"25", "25%", "2", "First Station,http://127.0.0.1:1/a.mp3", "0", "0", "0", ""}));
        QCOMPARE(f.form.lblCopyright->text(), frmMain::creditLine());
        QVERIFY(frmMain::creditLine().startsWith(QLatin1String("Orvane Player ")));
    }
    // The player area draws the levels the engine measures, only while the window can be seen.
    void drawsTheSoundWhileSeen() {
        Form f;
        frmMain& w = f.form;
        MediaPlayerControl* area = w.WindowsMediaPlayer1;
        auto* frames = area->findChild<QTimer*>(QStringLiteral("soundFrames"));
        QVERIFY(frames);
        QVERIFY(!f.engine->soundListener);  // nothing measured before the window shows
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(f.engine->soundListener);
        QCOMPARE(test::soundBars(area), QList<int>());
        // The area keeps its focus frame.
        QTRY_VERIFY(area->hasFocus());
        QCOMPARE(area->grab().toImage().pixelColor(0, 0), QColor(90, 90, 90));

        // The engine measures fifteen times a second while sound plays.
        SoundLevels levels;
        QTimer engine;
        engine.setInterval(67);
        connect(&engine, &QTimer::timeout, this, [&] {
            if (f.engine->soundListener) {
                f.engine->soundListener(levels);
            }
        });
        const auto settled = [&] {
            const QList<int> now = test::soundBars(area);
            QTest::qWait(100);
            return now == test::soundBars(area) ? now : QList<int>{-1};
        };
        struct Row {
            const char* name;
            std::function<float(int)> level;
            bool equal;  // all shown bars the same height, else rising left to right
        };
        const Row rows[] = {
            {"rising, low notes left", [](int i) { return (i + 1) / 24.0f; }, false},
            {"every other band", [](int i) { return i % 2 ? 0.8f : 0.0f; }, true},
        };
        for (const Row& row : rows) {
            levels.clear();
            for (int i = 0; i < 24; ++i) {
                levels.push_back(row.level(i));
            }
            engine.start();
            QList<int> bars;
            QVERIFY2(QTest::qWaitFor([&] { return (bars = settled()).size() > 1; }, 3000),
                     row.name);
            QCOMPARE(bars.size(), int(std::count_if(levels.begin(), levels.end(),
                                                    [](float l) { return l > 0.0f; })));
            // Heights follow the levels, and a full band nearly fills the free area.
            for (int i = 1; i < bars.size(); ++i) {
                QVERIFY2(row.equal ? bars[i] == bars[0] : bars[i] > bars[i - 1], row.name);
            }
            QVERIFY2(bars.last() > 40 && bars.last() < 88,
                     qPrintable(QString::number(bars.last())));
        }
        // Silence (a stop) flattens the bars within a second; sound that stops arriving (a stream
        // that ran out) a quarter of a second later. Flat, nothing is drawn any more.
        for (const bool stopped : {true, false}) {
            engine.stop();
            if (stopped) {
                f.engine->soundListener({});
            }
            QTRY_VERIFY_WITH_TIMEOUT(test::soundBars(area).isEmpty() && !frames->isActive(),
                                     stopped ? 1000 : 2000);
            engine.start();
            QTRY_VERIFY(!test::soundBars(area).isEmpty());
        }

        // Hidden to the tray or minimised: the engine measures nothing, nothing is drawn, and the
        // bars start flat when the window comes back.
        engine.stop();
        w.hide();
        QVERIFY(!f.engine->soundListener && !frames->isActive());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(f.engine->soundListener);
        QCOMPARE(test::soundBars(area), QList<int>());
        engine.start();
        w.showMinimized();
        QVERIFY(!f.engine->soundListener && !frames->isActive());
        w.showNormal();
        QTRY_VERIFY(f.engine->soundListener);
        engine.stop();
    }
    // Screen readers get names and descriptions, not the buttons' slashes.
    void controlsHaveSpokenNames() {
        Form f;
        frmMain& w = f.form;
        const std::pair<QWidget*, const char*> expected[] = {
            {w.cmdPlay, "Play"},
            {w.cmdStop, "Stop"},
            {w.cmdVolUp, "Volume up 5"},
            {w.cmdVolUpSmall, "Volume up 1"},
            {w.cmdVolDown, "Volume down 5"},
            {w.cmdVolDownSmall, "Volume down 1"},
            {w.comboSourceList->lineEdit(), "Sources"},
            {w.WindowsMediaPlayer1, "Player"},
        };
        for (const auto& [widget, name] : expected) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(widget);
            QVERIFY2(a, name);
            QCOMPARE(a->text(QAccessible::Name), QString::fromLatin1(name));
            QVERIFY2(!a->text(QAccessible::Description).isEmpty(), name);
        }
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
