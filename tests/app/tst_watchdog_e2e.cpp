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

// Passes every call to the real engine and counts the calls of play (the watchdog's and any other).
class WatchedEngine final : public MediaBackend {
  public:
    explicit WatchedEngine(std::unique_ptr<MediaBackend> real) : m_real(std::move(real)) {}
    int plays = 0;

    void setURL(const QString& url) override { m_real->setURL(url); }
    QString URL() const override { return m_real->URL(); }
    void play() override {
        ++plays;
        m_real->play();
    }
    void stop() override { m_real->stop(); }
    double currentPosition() const override { return m_real->currentPosition(); }
    int volume() const override { return m_real->volume(); }
    void setVolume(int v) override { m_real->setVolume(v); }
    QString status() const override { return m_real->status(); }
    QString mediaName() const override { return m_real->mediaName(); }
    QString mediaSourceURL() const override { return m_real->mediaSourceURL(); }

  private:
    std::unique_ptr<MediaBackend> m_real;
};

bool waitFor(const std::function<bool()>& cond, int timeoutMs) {
    return IcecastFixture::waitUntil(cond, timeoutMs, 20);
}

}  // namespace

class TestWatchdogEndToEnd : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void keepsPlayingThroughStallsAndDrops();

  private:
    QTemporaryDir m_dir;
};

void TestWatchdogEndToEnd::initTestCase() {
    int argc = 0;
    initGStreamer(&argc, nullptr);
    QVERIFY(m_dir.isValid());
}

void TestWatchdogEndToEnd::keepsPlayingThroughStallsAndDrops() {
    IcecastFixture icecast;
    QVERIFY2(icecast.start(), qPrintable(icecast.lastError()));
    {
        QFile ini(m_dir.filePath(QStringLiteral("orvaneplayer.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write(("Local Test Radio," + icecast.url() + "\n").toUtf8());
    }
    const QString oldDir = QDir::currentPath();
    QDir::setCurrent(m_dir.path());
    auto* engine = new WatchedEngine(createGstBackend());
    frmMain form{std::unique_ptr<MediaBackend>(engine)};
    form.Form_Load();
    QDir::setCurrent(oldDir);
    form.show();

    const auto position = [&] { return form.WindowsMediaPlayer1->controls().currentPosition(); };
    const auto counter = [&] { return form.lblCounter->text(); };
    // The position moves on by itself over the next few seconds.
    const auto advancing = [&](int timeoutMs) {
        double first = -1;
        return waitFor(
            [&] {
                const double p = position();
                if (p <= 0) {
                    first = -1;
                    return false;
                }
                if (first < 0) {
                    first = p;
                }
                return p >= first + 1.5;
            },
            timeoutMs);
    };

    // 1. PLAY: the time counts up and the stream's title shows.
    QTest::mouseClick(form.cmdPlay, Qt::LeftButton);
    QCOMPARE(form.PlayFlag, 1);
    QVERIFY2(waitFor([&] { return counter() == QLatin1String("00:01"); }, 10000),
             qPrintable(counter()));
    QVERIFY2(waitFor([&] { return counter() == QLatin1String("00:02"); }, 3000),
             qPrintable(counter()));
    QVERIFY2(
        waitFor([&] { return form.lblNowPlaying->text() == QLatin1String("Artist - Song One"); },
                5000),
        qPrintable(form.lblNowPlaying->text()));
    QCOMPARE(form.lblSource->text(), QStringLiteral("Playing"));
    QCOMPARE(form.lblURL->text(), icecast.url());
    QCOMPARE(engine->plays, 1);

    // 2. A true stall: the server freezes with the connection open. The position freezes once
    // the buffered audio has played, and fifteen ticks later the watchdog restarts.
    icecast.pauseServer();
    QVERIFY2(waitFor([&] { return counter() == QLatin1String("RESTARTING"); }, 30000),
             qPrintable(counter()));
    QVERIFY(engine->plays >= 2);
    icecast.resumeServer();
    if (!waitFor([&] { return icecast.mountLive(); }, 3000)) {
        QVERIFY2(icecast.startSource(), qPrintable(icecast.lastError()));
    }
    QVERIFY2(advancing(20000), qPrintable(counter()));

    // 3. The source drops: the stream ends, the watchdog keeps restarting, and once a source is
    // back the stream plays again.
    const int playsBefore = engine->plays;
    icecast.killSource();
    QVERIFY2(waitFor([&] { return engine->plays > playsBefore; }, 30000), qPrintable(counter()));
    QVERIFY2(icecast.startSource(), qPrintable(icecast.lastError()));
    QVERIFY2(advancing(25000), qPrintable(counter()));
    QVERIFY2(waitFor([&] { return counter().contains(QLatin1Char(':')); }, 3000),
             qPrintable(counter()));

    // 4. STOP: the next tick sees the engine idle, and nothing restarts.
    QTest::mouseClick(form.cmdStop, Qt::LeftButton);
    const int playsAtStop = engine->plays;
    QVERIFY(waitFor([&] { return form.lblSource->text().isEmpty(); }, 3000));
    QCOMPARE(engine->plays, playsAtStop);
    QCOMPARE(position(), 0.0);
    QCOMPARE(counter(), QStringLiteral("STOP"));
}

QTEST_MAIN(TestWatchdogEndToEnd)
#include "tst_watchdog_e2e.moc"
