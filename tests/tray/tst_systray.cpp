#include <QSignalSpy>
#include <QWidget>
#include <QtTest>

#include "RecordingShell.h"
#include "RuntimeError.h"
#include "WindowHandles.h"
#include "clsSysTray.h"

using namespace orvane;
using orvane::test::expectedField;
using orvane::test::RecordingShell;

namespace {

QImage redSquare() {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(qRgba(200, 0, 0, 255));
    image.setPixel(3, 4, qRgba(0, 0, 0, 0));
    return image;
}

// A window with a 16 x 16 icon, as the tray component needs one.
struct Window {
    QWidget widget;
    Window() { widget.setWindowIcon(QIcon(QPixmap::fromImage(redSquare()))); }
};

}  // namespace

class TestSysTray : public QObject {
    Q_OBJECT
  private slots:
    void initMakesThreeCalls();
    void initRemembersWhetherTheIconWentIn();
    void tooltipField_data();
    void tooltipField();
    void balloonWithOnlyAMessage();
    void balloonTextsAreCut();
    void tooltipAfterBalloonSendsOnlyTheTip();
    void balloonTimeout_data();
    void balloonTimeout();
    void badTimeoutRaisesAndSendsNothing_data();
    void badTimeoutRaisesAndSendsNothing();
    void mouseMoveRaisesOneEventPerCode();
    void doubleClickSequence();
    void releaseWithoutInitDeletesWithZeroRecord();
    void releaseSendsTheRecordAsLeft();
};

void TestSysTray::initMakesThreeCalls() {
    RecordingShell shell;
    Window w;
    const std::uint32_t hIcon = windowIconPicture(w.widget).Handle();
    QVERIFY(hIcon != 0);
    {
        clsSysTray tray;
        QCOMPARE(tray.Init(w.widget, QStringLiteral("Orvane Player")), false);
        QCOMPARE(tray.TooltipText(), QStringLiteral("Orvane Player"));

        QCOMPARE(shell.calls.size(), std::size_t(3));
        const QList<std::uint32_t> messages{shell.calls[0].message, shell.calls[1].message,
                                            shell.calls[2].message};
        QCOMPARE(messages, (QList<std::uint32_t>{NIM_ADD, NIM_MODIFY, NIM_MODIFY}));
        QCOMPARE(shell.calls[0].flags(), NIF_MESSAGE);
        QCOMPARE(shell.calls[1].flags(), NIF_ICON);
        QCOMPARE(shell.calls[2].flags(), NIF_TIP);

        // The add: header fields in place, the icon handle already there, every text field
        // still zero.
        const RecordingShell::Call& add = shell.calls[0];
        QCOMPARE(add.bytes.size(), 488);
        QCOMPARE(add.u32(0), 488u);
        QCOMPARE(add.u32(4), hWndOf(w.widget));
        QCOMPARE(add.u32(8), 1u);
        QCOMPARE(add.u32(16), WM_MOUSEMOVE);
        QCOMPARE(add.hIcon(), hIcon);
        QCOMPARE(add.tip(), QByteArray(128, '\0'));
        QCOMPARE(add.bytes.mid(152), QByteArray(488 - 152, '\0'));

        // The icon is the window's own 16 x 16 image.
        QCOMPARE(shell.calls[1].icon, redSquare());

        // The tooltip call: only szTip and the flags differ from the add.
        QByteArray expected = add.bytes;
        expected.replace(12, 4, QByteArray("\x04\0\0\0", 4));
        expected.replace(24, 128, expectedField("Orvane Player", 128));
        QCOMPARE(shell.calls[2].bytes, expected);
    }
    // The window's icon belongs to the window: releasing the component leaves it alive.
    QVERIFY(!imageOfIcon(hIcon).isNull());
}

void TestSysTray::initRemembersWhetherTheIconWentIn() {
    RecordingShell shell;
    Window w;
    {
        clsSysTray tray;
        QVERIFY(!tray.InNotificationArea());
        tray.Init(w.widget, QStringLiteral("x"));
        QVERIFY(tray.InNotificationArea());
        // The area can go after the icon was added (a tray host that quits).
        shell.area = false;
        QVERIFY(!tray.InNotificationArea());
    }
    shell.area = true;
    shell.result = false;
    clsSysTray refused;
    // A refused add changes neither the result nor the calls that follow.
    QCOMPARE(refused.Init(w.widget, QStringLiteral("x")), false);
    QVERIFY(!refused.InNotificationArea());
    QCOMPARE(shell.calls.size(), std::size_t(3 + 1 + 3));
}

void TestSysTray::tooltipField_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("empty") << QString() << expectedField("", 128);
    QTest::newRow("127") << QString(127, 'a') << expectedField(QByteArray(127, 'a'), 128);
    QTest::newRow("128") << QString(128, 'b') << QByteArray(128, 'b');
    QTest::newRow("200") << QString(100, 'c') + QString(100, 'd')
                         << QByteArray(100, 'c') + QByteArray(28, 'd');
    // One byte per UTF-16 unit: the euro sign has a byte, Cyrillic and an emoji's two halves
    // do not.
    QTest::newRow("code page") << QStringLiteral("€é Ж🎵")
                               << expectedField(QByteArray("\x80\xe9 ???"), 128);
}

void TestSysTray::tooltipField() {
    QFETCH(QString, text);
    QFETCH(QByteArray, field);
    RecordingShell shell;
    Window w;
    clsSysTray tray;
    tray.Init(w.widget, QStringLiteral("first"));
    tray.TooltipText(text);
    QCOMPARE(tray.TooltipText(), text);
    QCOMPARE(shell.calls.back().flags(), NIF_TIP);
    QCOMPARE(shell.calls.back().tip(), field);
}

void TestSysTray::balloonWithOnlyAMessage() {
    RecordingShell shell;
    Window w;
    clsSysTray tray;
    tray.Init(w.widget, QStringLiteral("tip"));
    tray.ShowBalloonTip(QStringLiteral("Hello"));
    const RecordingShell::Call& c = shell.calls.back();
    QCOMPARE(c.message, NIM_MODIFY);
    QCOMPARE(c.flags(), NIF_INFO);
    QCOMPARE(c.info(), expectedField("Hello", 256));
    QCOMPARE(c.infoTitle(), expectedField("", 64));
    QCOMPARE(c.timeout(), 30000u);
    QCOMPARE(c.infoFlags(), 0u);
    // The tooltip stays in the record.
    QCOMPARE(c.tip(), expectedField("tip", 128));
}

void TestSysTray::balloonTextsAreCut() {
    RecordingShell shell;
    Window w;
    clsSysTray tray;
    tray.Init(w.widget, QStringLiteral("tip"));
    tray.ShowBalloonTip(QString(300, 'm'), NIIF_WARNING, QString(70, 't'), 5000);
    const RecordingShell::Call& c = shell.calls.back();
    QCOMPARE(c.info(), QByteArray(256, 'm'));
    QCOMPARE(c.infoTitle(), QByteArray(64, 't'));
    QCOMPARE(c.infoFlags(), NIIF_WARNING);
    QCOMPARE(c.timeout(), 5000u);
    // Exactly at the width: no room for the NUL either.
    tray.ShowBalloonTip(QString(256, 'n'), 0, QString(64, 'u'));
    QCOMPARE(shell.calls.back().info(), QByteArray(256, 'n'));
    QCOMPARE(shell.calls.back().infoTitle(), QByteArray(64, 'u'));
}

void TestSysTray::tooltipAfterBalloonSendsOnlyTheTip() {
    RecordingShell shell;
    Window w;
    clsSysTray tray;
    tray.Init(w.widget, QStringLiteral("tip"));
    tray.ShowBalloonTip(QStringLiteral("Balloon"), NIIF_INFO, QStringLiteral("Title"));
    const QByteArray balloon = shell.calls.back().bytes;
    tray.TooltipText(QStringLiteral("New tip"));
    const RecordingShell::Call& c = shell.calls.back();
    // szInfo goes again, but without NIF_INFO no balloon is shown.
    QCOMPARE(c.flags(), NIF_TIP);
    QCOMPARE(c.bytes.mid(152), balloon.mid(152));
    QCOMPARE(c.tip(), expectedField("New tip", 128));
}

void TestSysTray::balloonTimeout_data() {
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<std::uint32_t>("timeout");
    QTest::newRow("int") << QVariant(1500) << 1500u;
    QTest::newRow("half down to even") << QVariant(2500.5) << 2500u;
    QTest::newRow("half up to even") << QVariant(2501.5) << 2502u;
    QTest::newRow("float") << QVariant(7.25f) << 7u;
    QTest::newRow("text") << QVariant(QStringLiteral(" 12.5 ")) << 12u;
    QTest::newRow("text exponent") << QVariant(QStringLiteral("1e3")) << 1000u;
    QTest::newRow("True") << QVariant(true) << 0xFFFFFFFFu;
    QTest::newRow("negative") << QVariant(-2) << 0xFFFFFFFEu;
    QTest::newRow("empty variant") << QVariant() << 0u;
    QTest::newRow("lowest") << QVariant(-2147483648.5) << 0x80000000u;
    QTest::newRow("highest") << QVariant(2147483647.4) << 0x7FFFFFFFu;
}

void TestSysTray::balloonTimeout() {
    QFETCH(QVariant, value);
    QFETCH(std::uint32_t, timeout);
    RecordingShell shell;
    Window w;
    clsSysTray tray;
    tray.Init(w.widget, QStringLiteral("tip"));
    tray.ShowBalloonTip(QStringLiteral("m"), 0, QString(), value);
    QCOMPARE(shell.calls.back().timeout(), timeout);
}

void TestSysTray::badTimeoutRaisesAndSendsNothing_data() {
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("error");
    QTest::newRow("words") << QVariant(QStringLiteral("soon")) << err::TypeMismatch;
    QTest::newRow("blank text") << QVariant(QStringLiteral("  ")) << err::TypeMismatch;
    QTest::newRow("nan text") << QVariant(QStringLiteral("nan")) << err::TypeMismatch;
    QTest::newRow("date") << QVariant(QDate(2024, 1, 1)) << err::TypeMismatch;
    QTest::newRow("rounds past the top") << QVariant(2147483647.5) << err::Overflow;
    QTest::newRow("too low") << QVariant(-2147483649.0) << err::Overflow;
    QTest::newRow("64-bit") << QVariant(qint64(1) << 40) << err::Overflow;
    QTest::newRow("infinite") << QVariant(qInf()) << err::Overflow;
}

void TestSysTray::badTimeoutRaisesAndSendsNothing() {
    QFETCH(QVariant, value);
    QFETCH(int, error);
    RecordingShell shell;
    Window w;
    clsSysTray tray;
    tray.Init(w.widget, QStringLiteral("tip"));
    int raised = 0;
    try {
        tray.ShowBalloonTip(QStringLiteral("Message"), 0, QStringLiteral("Title"), value);
    } catch (const RuntimeError& e) {
        raised = e.number();
    }
    QCOMPARE(raised, error);
    QCOMPARE(shell.calls.size(), std::size_t(3));
    // The texts were written before the conversion failed.
    const NOTIFYICONDATAA& r = tray.NotifyIconData();
    QCOMPARE(QByteArray(r.szInfo, 256), expectedField("Message", 256));
    QCOMPARE(QByteArray(r.szInfoTitle, 64), expectedField("Title", 64));
}

void TestSysTray::mouseMoveRaisesOneEventPerCode() {
    Window w;
    clsSysTray tray;
    // In the order of declaration.
    QSignalSpy left(&tray, &clsSysTray::LeftClick);
    QSignalSpy right(&tray, &clsSysTray::RightClick);
    QSignalSpy dbl(&tray, &clsSysTray::DoubleClick);
    QSignalSpy hide(&tray, &clsSysTray::BalloonHide);
    QSignalSpy timeout(&tray, &clsSysTray::BalloonTimeOut);
    QSignalSpy clicked(&tray, &clsSysTray::BalloonClicked);
    const std::vector<QSignalSpy*> spies{&left, &right, &dbl, &hide, &timeout, &clicked};
    const auto counts = [&] {
        QList<int> n;
        for (QSignalSpy* s : spies) {
            n << int(s->count());
        }
        return n;
    };
    std::int16_t button = 0;
    const std::pair<std::int32_t, int> table[] = {{0x202, 0}, {0x205, 1}, {0x203, 2},
                                                  {0x403, 3}, {0x404, 4}, {0x405, 5}};
    for (const auto& [code, which] : table) {
        QList<int> expected = counts();
        ++expected[which];
        tray.MouseMove(button, code, w.widget);
        QCOMPARE(counts(), expected);
    }
    // Presses, middle button, right double click, balloon shown, plain moves, and anything
    // else raise nothing.
    const QList<int> before = counts();
    for (const std::int32_t x : {0, 1, -1, 0x200, 0x201, 0x204, 0x206, 0x207, 0x208, 0x209, 0x402,
                                 0x406, 0x10202, -0x202}) {
        tray.MouseMove(button, x, w.widget);
    }
    QCOMPARE(counts(), before);
}

void TestSysTray::doubleClickSequence() {
    Window w;
    clsSysTray tray;
    QStringList seen;
    connect(&tray, &clsSysTray::LeftClick, [&] { seen << QStringLiteral("LeftClick"); });
    connect(&tray, &clsSysTray::DoubleClick, [&] { seen << QStringLiteral("DoubleClick"); });
    std::int16_t button = 0;
    qsizetype raised = 0;
    for (const std::int32_t x : {0x202, 0x203, 0x202}) {
        tray.MouseMove(button, x, w.widget);
        // Raised synchronously: the handler has run before MouseMove returns.
        QCOMPARE(seen.size(), ++raised);
    }
    QCOMPARE(seen, (QStringList{QStringLiteral("LeftClick"), QStringLiteral("DoubleClick"),
                                QStringLiteral("LeftClick")}));
}

void TestSysTray::releaseWithoutInitDeletesWithZeroRecord() {
    RecordingShell shell;
    shell.result = false;
    { clsSysTray tray; }
    QCOMPARE(shell.calls.size(), std::size_t(1));
    QCOMPARE(shell.calls[0].message, NIM_DELETE);
    QCOMPARE(shell.calls[0].bytes, QByteArray(488, '\0'));
}

void TestSysTray::releaseSendsTheRecordAsLeft() {
    RecordingShell shell;
    Window w;
    auto tray = std::make_unique<clsSysTray>();
    tray->Init(w.widget, QStringLiteral("tip"));
    tray->ShowBalloonTip(QStringLiteral("still up"));
    const QByteArray last = shell.calls.back().bytes;
    tray.reset();
    QCOMPARE(shell.calls.back().message, NIM_DELETE);
    QCOMPARE(shell.calls.back().bytes, last);
    QCOMPARE(shell.calls.back().flags(), NIF_INFO);
}

QTEST_MAIN(TestSysTray)
#include "tst_systray.moc"
