// SPDX-License-Identifier: GPL-3.0-or-later
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QSignalSpy>
#include <QWidget>
#include <QtTest>
#include <cstdio>
#include <cstring>

#include "app/frmMain.h"
#include "platform/Gdi.h"
#include "platform/PictureBox.h"
#include "platform/RuntimeError.h"
#include "platform/ShellNotify.h"
#include "platform/WindowHandles.h"
#include "support/ScriptedEngine.h"
#include "tray/IconFromPicture.h"
#include "tray/clsSysTray.h"

using namespace orvane;

namespace {

constexpr int kChildTimeoutMs = 20000;

// Keeps each call's message, its 488-byte record and, for NIF_ICON, a copy of the icon taken at
// once, as the real shell does (the caller may destroy it right after).
class RecordingShell final : public NotifyShell {
  public:
    struct Call {
        std::uint32_t message;
        QByteArray bytes;
        QImage icon;
        std::uint32_t u32(int offset) const {
            std::uint32_t v;
            std::memcpy(&v, bytes.constData() + offset, 4);
            return v;
        }
        std::uint32_t flags() const { return u32(12); }
    };
    std::vector<Call> calls;
    bool result = true;
    bool area = true;

    RecordingShell() : m_previous(setNotifyShell(this)) {}
    ~RecordingShell() override { setNotifyShell(m_previous); }

    bool notifyIcon(std::uint32_t message, const NOTIFYICONDATAA& data) override {
        calls.push_back({message, QByteArray(reinterpret_cast<const char*>(&data), sizeof data),
                         (data.uFlags & NIF_ICON) ? imageOfIcon(data.hIcon) : QImage()});
        return result;
    }
    bool hasNotificationArea() const override { return area; }

  private:
    NotifyShell* m_previous;
};

const QByteArray kList = "Local,http://127.0.0.1:9/never\r\n";

// The window after start-up.
struct LoadedForm : test::ScriptedForm {
    LoadedForm() { test::ListFolder(kList).load(form); }
};

// A notification as the shell delivers it: a mouse move with the code in X.
void notify(QWidget& window, double x) {
    QMouseEvent move(QEvent::MouseMove, QPointF(x, 0), window.mapToGlobal(QPointF(x, 0)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &move);
}

// The text, one NUL, spaces to the width; a text with no room for the NUL is cut to the width.
QByteArray field(const QByteArray& text, int width) {
    return text.size() >= width ? text.left(width)
                                : text + '\0' + QByteArray(width - text.size() - 1, ' ');
}

QImage iconImage() {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(qRgba(200, 0, 0, 255));
    image.setPixel(3, 4, qRgba(0, 0, 0, 0));
    return image;
}

struct Fixture {
    RecordingShell shell;
    QWidget window;
    clsSysTray tray;
    Fixture() {
        window.setWindowIcon(QIcon(QPixmap::fromImage(iconImage())));
        tray.Init(window, QStringLiteral("Orvane Player"));
    }
    const RecordingShell::Call& last() const { return shell.calls.back(); }
};

QList<int> liveObjects() {
    return {gdiObjectCount(GdiKind::Bitmap), gdiObjectCount(GdiKind::DC),
            gdiObjectCount(GdiKind::Icon)};
}

const QRgb kRed = qRgb(255, 0, 0), kBlue = qRgb(0, 0, 255), kBlack = qRgb(0, 0, 0);

// Blue, with `key` wherever x + y is even.
void paintCheckers(PictureBox& box, QRgb key) {
    box.draw([&](QPainter& p) {
        p.fillRect(box.rect(), QColor::fromRgb(kBlue));
        for (int y = 0; y < box.height(); ++y) {
            for (int x = y % 2; x < box.width(); x += 2) {
                p.fillRect(x, y, 1, 1, QColor::fromRgb(key));
            }
        }
    });
}

}  // namespace

class TestTray : public QObject {
    Q_OBJECT
  private slots:
    void initAndRelease() {
        {
            RecordingShell shell;
            { clsSysTray never; }
            // Released without Init: the delete still goes, with the all-zero record.
            QCOMPARE(shell.calls.size(), std::size_t(1));
            QCOMPARE(shell.calls[0].message, NIM_DELETE);
            QCOMPARE(shell.calls[0].bytes, QByteArray(488, '\0'));
        }
        const auto f = std::make_unique<Fixture>();
        const std::vector<RecordingShell::Call>& calls = f->shell.calls;
        QCOMPARE(calls.size(), std::size_t(3));
        QCOMPARE((QList<std::uint32_t>{calls[0].message, calls[1].message, calls[2].message,
                                       calls[1].flags()}),
                 (QList<std::uint32_t>{NIM_ADD, NIM_MODIFY, NIM_MODIFY, NIF_ICON}));
        // The add: every header field in place, the window's icon handle too, and no text yet.
        QByteArray add(488, '\0');
        const std::uint32_t header[] = {
            488,         hWndOf(f->window), 1,
            NIF_MESSAGE, WM_MOUSEMOVE,      windowIconPicture(f->window).Handle()};
        std::memcpy(add.data(), header, sizeof header);
        QVERIFY(header[5] != 0);
        QCOMPARE(calls[0].bytes, add);
        QCOMPARE(calls[1].icon, iconImage());
        // The tooltip call differs from the add only in its flags and szTip.
        add.replace(12, 4, QByteArray("\x04\0\0\0", 4))
            .replace(24, 128, field("Orvane Player", 128));
        QCOMPARE(calls[2].bytes, add);

        QVERIFY(f->tray.InNotificationArea());
        f->shell.area = false;  // a tray host that quit after the icon went in
        QVERIFY(!f->tray.InNotificationArea());
        f->shell.result = false;
        {
            clsSysTray refused;
            QCOMPARE(refused.Init(f->window, QString()), false);
            QVERIFY(!refused.InNotificationArea());
        }
        // The window's icon is the window's: a component never destroys it.
        QVERIFY(!imageOfIcon(header[5]).isNull());

        // Release sends the record as the last operation left it.
        auto tray = std::make_unique<clsSysTray>();
        tray->Init(f->window, QStringLiteral("x"));
        tray->ShowBalloonTip(QStringLiteral("up"));
        const QByteArray lastRecord = f->last().bytes;
        tray.reset();
        QCOMPARE(f->last().message, NIM_DELETE);
        QCOMPARE(f->last().bytes, lastRecord);
    }
    void textFields() {
        // The text, one NUL, spaces; cut at the width with no NUL. One byte per UTF-16 unit, '?'
        // for what Windows-1252 lacks (both halves of an emoji).
        struct Row {
            int which;  // 0 szTip (offset 24), 1 szInfo (160), 2 szInfoTitle (420)
            QString text;
            QByteArray bytes;
        };
        const Row rows[] = {{0, QString(127, 'a'), field(QByteArray(127, 'a'), 128)},
                            {0, QString(128, 'b'), QByteArray(128, 'b')},
                            {0, QStringLiteral("€é Ж🎵"), field("\x80\xe9 ???", 128)},
                            {1, QString(300, 'm'), QByteArray(256, 'm')},
                            {2, QString(64, 't'), QByteArray(64, 't')}};
        for (const Row& row : rows) {
            Fixture f;
            row.which == 0 ? f.tray.TooltipText(row.text)
                           : f.tray.ShowBalloonTip(row.which == 1 ? row.text : QStringLiteral("m"),
                                                   0, row.which == 2 ? row.text : QString());

            const int offset[] = {24, 160, 420};
            QCOMPARE(f.last().bytes.mid(offset[row.which], row.bytes.size()), row.bytes);
        }
    }
    void balloonThenTooltip() {
        Fixture f;
        f.tray.ShowBalloonTip(QStringLiteral("Hello"));
        QCOMPARE(f.last().flags(), NIF_INFO);
        // Only a message: empty title, time-out 30000 ms, no balloon icon.
        const QByteArray balloon = f.last().bytes;
        QCOMPARE(balloon.mid(160), field("Hello", 256) + QByteArray("\x30\x75\0\0", 4) +
                                       field("", 64) + QByteArray(4, '\0'));
        // A tooltip write sends szInfo again, but with NIF_TIP alone it shows no new balloon.
        f.tray.TooltipText(QStringLiteral("New"));
        QCOMPARE(f.last().flags(), NIF_TIP);
        QCOMPARE(f.last().bytes.mid(152), balloon.mid(152));
        f.tray.ShowBalloonTip(QStringLiteral("Warn"), NIIF_WARNING, QStringLiteral("T"), 5000);
        QCOMPARE(f.last().u32(484), NIIF_WARNING);
    }
    void balloonTimeout() {
        struct Row {
            QVariant value;
            std::uint32_t timeout;
            int error;
        };
        const Row rows[] = {{2500.5, 2500u, 0},  // halves to even
                            {2501.5, 2502u, 0},
                            {QStringLiteral(" 12.5 "), 12u, 0},
                            {true, 0xFFFFFFFFu, 0},
                            {QStringLiteral("soon"), 0u, err::TypeMismatch},
                            {2147483647.5, 0u, err::Overflow}};
        for (const Row& row : rows) {
            Fixture f;
            int raised = 0;
            try {
                f.tray.ShowBalloonTip(QStringLiteral("Message"), 0, QStringLiteral("Title"),
                                      row.value);
            } catch (const RuntimeError& e) {
                raised = e.number();
            }
            QCOMPARE(raised, row.error);
            if (row.error != 0) {
                // Nothing sent, though the texts are in the record already: the next call has them.
                QCOMPARE(f.shell.calls.size(), std::size_t(3));
                f.tray.TooltipText(QStringLiteral("t"));
                QCOMPARE(f.last().bytes.mid(160, 8), field("Message", 8));
            } else {
                QCOMPARE(f.last().u32(416), row.timeout);
            }
        }
    }
    void mouseMoveTable() {
        QWidget w;
        clsSysTray tray;
        QString seen;
        for (const auto& [signal, letter] : {std::pair{&clsSysTray::LeftClick, 'L'},
                                             {&clsSysTray::RightClick, 'R'},
                                             {&clsSysTray::DoubleClick, 'D'},
                                             {&clsSysTray::BalloonHide, 'H'},
                                             {&clsSysTray::BalloonTimeOut, 'T'},
                                             {&clsSysTray::BalloonClicked, 'C'}}) {
            connect(&tray, signal, this, [&seen, c = letter] { seen += QLatin1Char(c); });
        }
        std::int16_t button = 0;
        // Presses, middle button, right double click, balloon shown, 0 and anything else raise
        // nothing; release, double click, release raise L, D, L before MouseMove returns.
        for (const std::int32_t x : {0x202, 0x205, 0x403, 0x404, 0x405, 0, -1, 0x200, 0x201, 0x204,
                                     0x206, 0x207, 0x208, 0x402, 0x10202, 0x202, 0x203, 0x202}) {
            tray.MouseMove(button, x, w);
        }
        QCOMPARE(seen, QStringLiteral("LRHTCLDL"));
    }
    void monochromeRowsArePaddedTo16Bits() {
        const QList<int> start = liveObjects();
        // Monochrome rows are padded to 16 bits: 40 pixels take 6 bytes, not 8.
        const uchar bits[] = {0, 0, 0, 0, 0x01, 0xFF, 0x80, 0, 0, 0, 0x01, 0xFF};
        const HBITMAP mono = CreateBitmap(40, 2, 1, 1, bits);
        BITMAP bm{};
        QCOMPARE(GetObjectA(mono, int(sizeof bm), &bm), 24);
        QCOMPARE(QList<int>({bm.bmWidth, bm.bmHeight, bm.bmWidthBytes, bm.bmBitsPixel}),
                 QList<int>({40, 2, 6, 1}));
        const QImage rows = imageOfBitmap(mono);
        QCOMPARE(QList<int>({rows.pixelIndex(38, 0), rows.pixelIndex(39, 0), rows.pixelIndex(0, 1),
                             rows.pixelIndex(1, 1), rows.pixelIndex(39, 1)}),
                 QList<int>({0, 1, 1, 0, 1}));
        const HBITMAP eight = CreateBitmap(8, 1, 0, 0, nullptr);  // planes and depth 0: monochrome
        QCOMPARE(GetObjectA(eight, int(sizeof bm), &bm) * bm.bmWidthBytes * bm.bmBitsPixel, 48);
        DeleteObject(eight);
        DeleteObject(mono);
        QCOMPARE(liveObjects(), start);
    }
    void drawIcon_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRgb>("key");
        QTest::addColumn<int>("colour");  // negative: the plain path
        QTest::addColumn<bool>("selectedElsewhere");
        const int red = int(RGB(255, 0, 0));
        QTest::newRow("plain") << QSize(20, 10) << kRed << -1 << false;
        QTest::newRow("32 x 32, red") << QSize(32, 32) << kRed << red << false;
        QTest::newRow("32 x 32, black") << QSize(32, 32) << kBlack << 0 << false;
        QTest::newRow("larger, red") << QSize(48, 40) << kRed << red << false;
        QTest::newRow("smaller, red") << QSize(16, 16) << kRed << red << false;
        // Failures: a box with no area has no bitmap, which GetObjectA cannot read.
        QTest::newRow("plain, unreadable") << QSize(0, 10) << kRed << -1 << false;
        QTest::newRow("transparent, unreadable") << QSize(0, 10) << kRed << red << false;
        QTest::newRow("transparent, selected elsewhere") << QSize(32, 32) << kRed << red << true;
    }
    void drawIcon() {
        QFETCH(QSize, size);
        QFETCH(QRgb, key);
        QFETCH(int, colour);
        QFETCH(bool, selectedElsewhere);
        Fixture f;
        f.shell.calls.clear();
        PictureBox box;
        box.resize(size);
        paintCheckers(box, key);
        const QImage before = imageOfBitmap(box.Image().Handle());
        const HDC other = selectedElsewhere ? CreateCompatibleDC(0) : 0;
        const HGDIOBJ old = other ? SelectObject(other, box.Image().Handle()) : 0;
        const QList<int> start = liveObjects();
        f.tray.DrawIcon(box, colour);
        QCOMPARE(liveObjects(), start);
        if (size.isEmpty() || other) {
            // Nothing sent, no handle in the record, the picture untouched.
            QVERIFY(f.shell.calls.empty());
            f.tray.TooltipText(QStringLiteral("t"));
            QCOMPARE(f.last().u32(20), 0u);
            QCOMPARE(imageOfBitmap(box.Picture().Handle()), before);
            if (other) {
                SelectObject(other, old);
                DeleteDC(other);
            }
            return;
        }
        QVERIFY(box.AutoRedraw());
        QVERIFY(box.Picture() == box.Image());
        QCOMPARE(f.shell.calls.size(), std::size_t(1));
        QCOMPARE(f.shell.calls[0].flags(), NIF_ICON);
        // The icon the record names has been destroyed; the shell kept its copy.
        QVERIFY(imageOfIcon(f.shell.calls[0].u32(20)).isNull());
        const QImage icon = f.shell.calls[0].icon;
        const QImage picture = imageOfBitmap(box.Picture().Handle());
        QCOMPARE(icon.size(), size);
        for (int y = 0; y < size.height(); ++y) {
            for (int x = 0; x < size.width(); ++x) {
                const bool isKey = (x + y) % 2 == 0;
                const bool masked = colour >= 0 && x < 32 && y < 32 && isKey;
                const QRgb drawn = isKey ? key : kBlue;
                // Blackened in the picture itself, transparent in the icon: there and only there.
                QCOMPARE(picture.pixel(x, y), masked ? kBlack : drawn);
                QCOMPARE(icon.pixel(x, y), masked ? qRgba(0, 0, 0, 0) : drawn);
            }
        }
    }
    void makeMaskRestoresTheBackground() {
        const std::uint32_t words[] = {0x00FF0000, 0x000000FF};
        const HBITMAP colour = CreateBitmap(2, 1, 1, 32, words);
        const HDC dc = CreateCompatibleDC(0);
        const HGDIOBJ old = SelectObject(dc, colour);
        SetBkColor(dc, RGB(1, 2, 3));
        const QList<int> start = liveObjects();
        const HBITMAP mask = trayicon::MakeMask(dc, RGB(0, 0, 255));
        QCOMPARE(SetBkColor(dc, RGB(1, 2, 3)), RGB(1, 2, 3));
        const QImage m = imageOfBitmap(mask);
        QCOMPARE(m.size(), QSize(32, 32));
        QCOMPARE(QList<int>({m.pixelIndex(0, 0), m.pixelIndex(1, 0), m.pixelIndex(31, 31)}),
                 QList<int>({0, 1, 0}));
        DeleteObject(mask);
        // Failures leave nothing: a bad context, and none (failing after making a DC and bitmap).
        QCOMPARE(trayicon::MakeMask(0x7FFFFFF0, 0), 0u);
        QCOMPARE(trayicon::MakeMask(0, RGB(0, 0, 255)), 0u);
        QCOMPARE(liveObjects(), start);
        SelectObject(dc, old);
        DeleteDC(dc);
        DeleteObject(colour);
    }
    // The child closes its window with a tick, a tray notification and a queued call waiting, and
    // logs every engine and shell call: after the close only the icon's removal may show.
    void unloadEndsTheProgramAtOnce() {
        const test::ListFolder folder(kList);
        QProcess child;
        child.setWorkingDirectory(folder.dir.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("ORVANE_UNLOAD_CHILD"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(kChildTimeoutMs));
        const QByteArray err = child.readAllStandardError();
        QVERIFY2(err.contains("closing\n"), err.constData());
        QCOMPARE(err.mid(err.indexOf("closing\n")), QByteArray("closing\nshell 2\n"));
        QCOMPARE(child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1, 0);
    }
    void minimiseAndRestore_data() {
        QTest::addColumn<bool>("added");
        QTest::addColumn<bool>("areaLater");
        QTest::newRow("tray") << true << true;
        QTest::newRow("no tray at start-up") << false << false;
        QTest::newRow("tray host gone since") << true << false;
    }
    void minimiseAndRestore() {
        QFETCH(bool, added);
        QFETCH(bool, areaLater);
        RecordingShell shell;
        shell.result = shell.area = added;
        LoadedForm f;
        f.form.show();
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        // The mouse passing x = 514 over the shown window: nothing moves, the focus stays put.

        notify(f.form, 0x202);
        QCoreApplication::processEvents();
        QVERIFY(other.isActiveWindow() && f.form.isVisible());
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
        // A left click brings it back, normal and in front.
        notify(f.form, 0x202);
        QVERIFY(QTest::qWaitForWindowActive(&f.form));
        QCOMPARE(f.form.windowState() & ~Qt::WindowActive, Qt::WindowNoState);
    }
    void loadAddsTheIconAndXRoundsHalfToEven() {
        RecordingShell shell;
        LoadedForm f;
        QCOMPARE(shell.calls.size(), std::size_t(3));
        QCOMPARE(shell.calls[0].u32(4), hWndOf(f.form));
        QCOMPARE(shell.calls[2].bytes.mid(24, 14), QByteArray("Orvane Player\0", 14));
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
};

namespace {

// The child of unloadEndsTheProgramAtOnce.
int unloadChild(int argc, char** argv) {
    QApplication app(argc, argv);
    struct PrintingShell final : NotifyShell {
        bool notifyIcon(std::uint32_t message, const NOTIFYICONDATAA&) override {
            std::fprintf(stderr, "shell %u\n", message);
            return true;
        }
        bool hasNotificationArea() const override { return true; }
    } shell;
    setNotifyShell(&shell);
    test::ScriptedForm player;
    player.engine->onCall = [](const QString& call) {
        std::fprintf(stderr, "engine %s\n", qPrintable(call));
    };
    frmMain& form = player.form;
    form.Form_Load();
    form.show();
    QTimer::singleShot(0, &form, [&form] {
        form.tmrDisplayUpdate->start(0);
        QCoreApplication::postEvent(
            &form, new QMouseEvent(QEvent::MouseMove, QPointF(0x202, 0), QPointF(0x202, 0),
                                   Qt::NoButton, Qt::NoButton, Qt::NoModifier));
        QMetaObject::invokeMethod(
            &form, [] { std::fprintf(stderr, "queued call\n"); }, Qt::QueuedConnection);
        std::fprintf(stderr, "closing\n");
        form.close();
        std::fprintf(stderr, "close returned\n");
    });
    QApplication::exec();
    return 3;  // a close that ended the program does not get here
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("ORVANE_UNLOAD_CHILD")) {
        return unloadChild(argc, argv);
    }
    QApplication app(argc, argv);
    TestTray test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_tray.moc"
