// SPDX-License-Identifier: GPL-3.0-or-later
// What a screen reader gets from the window through Qt's accessibility interfaces.
#include <QAccessible>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "app/frmMain.h"
#include "support/ScriptedEngine.h"

using namespace orvane;

class TestAccessible : public QObject {
    Q_OBJECT
  private slots:
    void controlsHaveSpokenNames();
};

// Buttons and the list are read by name and description, not by their captions (whose slashes
// the window test checks on screen).
void TestAccessible::controlsHaveSpokenNames() {
    test::ScriptedForm f;
    frmMain& w = f.form;
    struct Expect {
        QWidget* widget;
        const char* name;
        QAccessible::Role role;
    };
    const QList<Expect> expected = {
        {w.cmdPlay, "Play", QAccessible::Button},
        {w.cmdStop, "Stop", QAccessible::Button},
        {w.cmdVolUp, "Volume up 5", QAccessible::Button},
        {w.cmdVolUpSmall, "Volume up 1", QAccessible::Button},
        {w.cmdVolDown, "Volume down 5", QAccessible::Button},
        {w.cmdVolDownSmall, "Volume down 1", QAccessible::Button},
        {w.comboSourceList->lineEdit(), "Sources", QAccessible::EditableText},
        {w.WindowsMediaPlayer1, "Player", QAccessible::Client},
    };
    for (const Expect& e : expected) {
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(e.widget);
        QVERIFY2(a, e.name);
        QCOMPARE(a->text(QAccessible::Name), QString::fromLatin1(e.name));
        QVERIFY2(!a->text(QAccessible::Description).isEmpty(), e.name);
        QCOMPARE(a->role(), e.role);
    }
}

QTEST_MAIN(TestAccessible)
#include "tst_accessible.moc"
