// SPDX-License-Identifier: GPL-3.0-or-later
// The whole chain for real: the window, the GStreamer engine and a local Icecast server. The
// watchdog must bring the stream back by itself after a stalled server and a dropped source.
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "app/frmMain.h"
#include "engine/GstBackend.h"
#include "support/IcecastFixture.h"

using namespace orvane;
using orvane::test::IcecastFixture;

namespace {

constexpr int kFirstTickMs = 10000;  // PLAY to the first second counted, with ASan
// Fifteen ticks without progress, the engine's own attempts included, and room for ASan.
constexpr int kWatchdogMs = 30000;
constexpr int kRecoverMs = 25000;
constexpr int kTickMs = 3000;

bool waitFor(const std::function<bool()>& cond, int timeoutMs) {
    return IcecastFixture::waitUntil(cond, timeoutMs);
}

}  // namespace

class TestWatchdogEndToEnd : public QObject {
    Q_OBJECT
  private slots:
    void keepsPlayingThroughStallsAndDrops();
};

void TestWatchdogEndToEnd::keepsPlayingThroughStallsAndDrops() {
    int argc = 0;
    initGStreamer(&argc, nullptr);
    IcecastFixture icecast;
    QVERIFY2(icecast.start(), qPrintable(icecast.lastError()));
    QTemporaryDir dir;
    QFile ini(dir.filePath(QStringLiteral("orvaneplayer.ini")));
    QVERIFY(ini.open(QIODevice::WriteOnly) &&
            ini.write(("Local Test Radio," + icecast.url() + "\n").toUtf8()) > 0);
    ini.close();
    const QString oldDir = QDir::currentPath();
    QDir::setCurrent(dir.path());
    frmMain form{createGstBackend()};
    form.Form_Load();
    QDir::setCurrent(oldDir);
    form.show();

    const auto position = [&] { return form.WindowsMediaPlayer1->controls().currentPosition(); };
    const auto counter = [&] { return form.lblCounter->text(); };
    const auto shows = [&](const QString& text, int timeoutMs) {
        return waitFor([&] { return counter() == text; }, timeoutMs);
    };
    // The position moves on by itself over the next few seconds.
    const auto advancing = [&](int timeoutMs) {
        double first = -1;
        return waitFor(
            [&] {
                const double p = position();
                first = p <= 0 ? -1 : first < 0 ? p : first;
                return first > 0 && p >= first + 1.5;
            },
            timeoutMs);
    };

    // 1. PLAY: the time counts up and the stream's title shows.
    QTest::mouseClick(form.cmdPlay, Qt::LeftButton);
    QVERIFY2(shows(QStringLiteral("00:01"), kFirstTickMs), qPrintable(counter()));
    QVERIFY2(shows(QStringLiteral("00:02"), kTickMs), qPrintable(counter()));
    QTRY_COMPARE_WITH_TIMEOUT(form.lblNowPlaying->text(),
                              QLatin1String(IcecastFixture::kFirstTitle), 5000);
    QCOMPARE(form.lblSource->text(), QStringLiteral("Playing"));
    QCOMPARE(form.lblURL->text(), icecast.url());

    // 2. A true stall: the server freezes with the connection open. The position freezes once
    // the buffered audio has played, and fifteen ticks later the watchdog restarts.
    icecast.pauseServer();
    QVERIFY2(shows(QStringLiteral("RESTARTING"), kWatchdogMs), qPrintable(counter()));
    icecast.resumeServer();
    if (!waitFor([&] { return icecast.mountLive(); }, kTickMs)) {
        QVERIFY2(icecast.startSource(), qPrintable(icecast.lastError()));
    }
    QVERIFY2(advancing(kRecoverMs), qPrintable(counter()));

    // 3. The source drops: the stream ends, the watchdog restarts while the mount is gone, and
    // once a source is back the stream plays again.
    icecast.killSource();
    QVERIFY2(shows(QStringLiteral("RESTARTING"), kWatchdogMs), qPrintable(counter()));
    QVERIFY2(icecast.startSource(), qPrintable(icecast.lastError()));
    QVERIFY2(advancing(kRecoverMs), qPrintable(counter()));
    QVERIFY2(waitFor([&] { return counter().contains(u':'); }, kTickMs), qPrintable(counter()));

    // 4. STOP: the next tick sees the engine idle, and nothing reconnects.
    QTest::mouseClick(form.cmdStop, Qt::LeftButton);
    QVERIFY(waitFor([&] { return form.lblSource->text().isEmpty(); }, kTickMs));
    QTRY_COMPARE_WITH_TIMEOUT(icecast.listeners().size(), 0, kTickMs);
    QVERIFY(!waitFor([&] { return !icecast.listeners().isEmpty(); }, kTickMs));
    QCOMPARE(position(), 0.0);
    QCOMPARE(counter(), QStringLiteral("STOP"));
}

QTEST_MAIN(TestWatchdogEndToEnd)
#include "tst_watchdog_e2e.moc"
