// SPDX-License-Identifier: GPL-3.0-or-later
// The GStreamer engine against a real local Icecast server: what the window's once-a-second
// watchdog reads (status, position) and what it does (play) through stalls, drops and failures.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <QtTest>

#include "engine/GstBackend.h"
#include "engine/NetworkWatch.h"
#include "support/IcecastFixture.h"
#include "support/LoopbackHttp.h"
#include "support/UiStallMonitor.h"

using namespace orvane;
using orvane::test::IcecastFixture;
using orvane::test::UiStallMonitor;

namespace {

// Playback starts ~0.4 s after the open on loopback; leave room for ASan and a busy machine.
constexpr int kStartMs = 10000;
// The UI thread must never wait this long on the engine.
constexpr qint64 kMaxBlockMs = 100;
// A fault's end to audio again, with room for ASan and a busy machine.
constexpr int kRecoverMs = 10000;
// Shorter than the engine's patience with a silent connection.
constexpr int kShortStallMs = 1000;
// Longer than the source timeout this test runs with (ORVANE_TEST_SOURCE_TIMEOUT).
constexpr int kStallBeyondTimeoutMs = 4000;

enum class Fault { Stall, SourceDrop, ServerRestart, MountLater, CodecSwitch };

bool waitFor(const std::function<bool()>& cond, int timeoutMs) {
    return IcecastFixture::waitUntil(cond, timeoutMs, 20);
}

bool isPlaying(const MediaBackend& engine) {
    return engine.status() == QLatin1String("Playing") && engine.currentPosition() > 0.0;
}

QList<qint64> ids(const QList<IcecastFixture::Listener>& listeners) {
    QList<qint64> result;
    for (const auto& l : listeners) {
        result.append(l.id);
    }
    return result;
}

// Drops a file into the server's webroot (or anywhere), readable by a server that runs as
// another user.
bool writeFile(const QString& path, const QByteArray& body) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(body) != body.size()) {
        return false;
    }
    f.close();
    return f.setPermissions(f.permissions() | QFile::ReadOther);
}

// Runs one engine call and returns how long it kept the caller.
qint64 timed(const std::function<void()>& call) {
    QElapsedTimer t;
    t.start();
    call();
    return t.elapsed();
}

}  // namespace

class TestGstBackend : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void cleanup();

    void playsLiveStreamInRealTimeAndStops();
    void setUrlThenPlayOpensOneConnection();
    void nameFollowsTitleThenStationThenUrl();
    void failuresShowAsErrorsWithoutBlocking_data();
    void failuresShowAsErrorsWithoutBlocking();
    void shortStallResumesOnTheSameConnection();
    void recoversFromFaultsByItself_data();
    void recoversFromFaultsByItself();
    void stopDuringAStallReleasesEveryConnection();
    void wakingUpStartsAFreshConnection();
    void volumeIsClampedAndKeptAcrossReopening();
    void destroyedWithMessagesInFlight();
    void playlistsLeadToTheLiveStream_data();
    void playlistsLeadToTheLiveStream();
    void badPlaylistsFailAndEveryPlayFetchesAgain();

  private:
    bool startPlaying(const QString& url);

    IcecastFixture m_ice;
    std::unique_ptr<MediaBackend> m_engine;
};

void TestGstBackend::initTestCase() {
    initGStreamer(nullptr, nullptr);
    initGStreamer(nullptr, nullptr);  // a second call is harmless
    // The QT_NO_GLIB run proves that bus messages reach the engine without GLib's main loop.
    const QByteArray dispatcher = QAbstractEventDispatcher::instance()->metaObject()->className();
    qInfo() << "event dispatcher:" << dispatcher;
    if (qEnvironmentVariableIntValue("QT_NO_GLIB") == 1) {
        QVERIFY(!dispatcher.contains("Glib"));
    }
    QVERIFY2(m_ice.start(), qPrintable(m_ice.lastError()));
}

void TestGstBackend::init() {
    m_engine = createGstBackend();
}

void TestGstBackend::cleanup() {
    m_engine.reset();
    // Leave a healthy server and stream for the next test, whatever this one did to them.
    m_ice.resumeServer();
    if (!m_ice.serverRunning()) {
        QVERIFY2(m_ice.startServer(), qPrintable(m_ice.lastError()));
    }
    if (!m_ice.mountLive() || !m_ice.sourceRunning()) {
        QVERIFY2(m_ice.startSource(), qPrintable(m_ice.lastError()));
    }
    if (m_ice.currentTitle() != QLatin1String(IcecastFixture::kFirstTitle)) {
        QVERIFY(m_ice.setTitle(QLatin1String(IcecastFixture::kFirstTitle)));
    }
}

bool TestGstBackend::startPlaying(const QString& url) {
    m_engine->setURL(url);
    return waitFor([this] { return isPlaying(*m_engine); }, kStartMs);
}

void TestGstBackend::playsLiveStreamInRealTimeAndStops() {
    MediaBackend& e = *m_engine;
    // Nothing loaded: play and stop do nothing, everything reads empty.
    e.play();
    e.stop();
    QCOMPARE(e.status(), QString());
    QCOMPARE(e.mediaName(), QString());
    QCOMPARE(e.URL(), QString());
    QCOMPARE(e.currentPosition(), 0.0);

    e.setURL(m_ice.url());
    QCOMPARE(e.status(), QStringLiteral("Connecting"));
    QCOMPARE(e.URL(), m_ice.url());
    QCOMPARE(e.mediaSourceURL(), m_ice.url());
    QCOMPARE(e.currentPosition(), 0.0);
    // On the way: connecting, perhaps buffering, and nothing played yet.
    const QRegularExpression opening(QStringLiteral("^(Connecting|Buffering \\d{1,2}%)$"));
    QString odd;
    QVERIFY(waitFor(
        [&] {
            const QString status = e.status();
            if (status == QLatin1String("Playing")) {
                return true;
            }
            if (!opening.match(status).hasMatch() || e.currentPosition() != 0.0) {
                odd = QStringLiteral("%1 at %2").arg(status).arg(e.currentPosition());
            }
            return !odd.isEmpty();
        },
        kStartMs));
    QVERIFY2(odd.isEmpty(), qPrintable(odd));
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);

    // Real time: three seconds of audio take three seconds, also with no sound card here.
    const double start = e.currentPosition();
    QElapsedTimer clock;
    clock.start();
    QVERIFY(waitFor([&] { return e.currentPosition() >= start + 3.0; }, 6000));
    const double rate = (e.currentPosition() - start) / (clock.elapsed() / 1000.0);
    QVERIFY2(rate > 0.9 && rate < 1.1, qPrintable(QString::number(rate)));

    // The server sees one listener, and it is us.
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 1, 3000);
    QVERIFY2(m_ice.listenerList().first().userAgent.startsWith(QLatin1String("OrvanePlayer/")),
             qPrintable(m_ice.listenerList().first().userAgent));

    e.stop();
    QCOMPARE(e.status(), QStringLiteral("Stopped"));
    QCOMPARE(e.currentPosition(), 0.0);
    QCOMPARE(e.URL(), m_ice.url());
    // The connection is released, and nothing that was still queued brings playback back.
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 0, 3000);
    QCOMPARE(e.status(), QStringLiteral("Stopped"));
    QCOMPARE(e.currentPosition(), 0.0);
}

void TestGstBackend::setUrlThenPlayOpensOneConnection() {
    MediaBackend& e = *m_engine;
    const int before = m_ice.listenerConnections();
    QVERIFY(before >= 0);
    // What the window does when a station is picked: write the URL, then press play at once.
    e.setURL(m_ice.missingUrl());
    e.setURL(m_ice.url());
    e.play();
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 1, 3000);
    // Icecast updates its counters on its own thread, a moment after the fact.
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerConnections() - before, 1, 2000);

    // Once the open has run, play() is the reconnect: one new connection replacing the old.
    const QList<qint64> first = ids(m_ice.listenerList());
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_ice.listenerList().size() == 1 && ids(m_ice.listenerList()) != first,
                             3000);
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerConnections() - before, 2, 2000);
    e.stop();
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 0, 3000);
    QCOMPARE(m_ice.listenerConnections() - before, 2);
}

void TestGstBackend::nameFollowsTitleThenStationThenUrl() {
    MediaBackend& e = *m_engine;
    QVERIFY(startPlaying(m_ice.url()));
    QTRY_COMPARE_WITH_TIMEOUT(e.mediaName(), QLatin1String(IcecastFixture::kFirstTitle), 5000);

    // A new title reaches listeners with the next metadata block, a few seconds later.
    const QString next = QStringLiteral("Artist - Song Two (\u00e9t\u00e9 mix)");
    QVERIFY(m_ice.setTitle(next));
    QTRY_COMPARE_WITH_TIMEOUT(e.mediaName(), next, 12000);

    // Reconnecting to the same station keeps the name until the stream says otherwise, so
    // the window does not flicker through the URL's name on every reconnect. (What the stream
    // then says may briefly be the old title: Icecast's burst for new listeners still carries
    // the metadata it was sent with.)
    e.play();
    QCOMPARE(e.mediaName(), next);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);

    // Another station forgets the old titles at once.
    e.setURL(m_ice.missingUrl());
    QCOMPARE(e.mediaName(), QStringLiteral("nothing-here"));

    // A station that sends its name but never a title.
    QVERIFY2(
        m_ice.startUntitledSource(QStringLiteral("/untitled.mp3"), QStringLiteral("Plain Radio")),
        qPrintable(m_ice.lastError()));
    e.setURL(m_ice.urlFor(QStringLiteral("/untitled.mp3")));
    QCOMPARE(e.mediaName(), QStringLiteral("untitled"));
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QTRY_COMPARE_WITH_TIMEOUT(e.mediaName(), QStringLiteral("Plain Radio"), 5000);

    // A plain file with no tags: the URL names it, and its end reads as stopped.
    const QString file = m_ice.writeToneFile(QStringLiteral("morning-show.mp3"), 2);
    QVERIFY(!file.isEmpty());
    e.setURL(file);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QCOMPARE(e.mediaName(), QStringLiteral("morning-show"));
    QTRY_COMPARE_WITH_TIMEOUT(e.status(), QStringLiteral("Stopped"), 8000);
    QCOMPARE(e.currentPosition(), 0.0);
    QCOMPARE(e.mediaName(), QStringLiteral("morning-show"));
}

void TestGstBackend::failuresShowAsErrorsWithoutBlocking_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("retried");
    QVERIFY(
        writeFile(m_ice.webroot() + QStringLiteral("/garbage.mp3"), QByteArray(64 * 1024, '\x17')));
    QTest::newRow("missing mount") << m_ice.missingUrl() << "HTTP 404 Not Found" << true;
    QTest::newRow("closed port")
        << QStringLiteral("http://127.0.0.1:%1/radio.mp3").arg(test::pickFreePort())
        << "Connection refused" << true;
    QTest::newRow("no such host") << QStringLiteral("http://no-such-host.invalid/radio.mp3")
                                  << "Host not found (no-such-host.invalid)" << true;
    QTest::newRow("not audio") << m_ice.urlFor(QStringLiteral("/garbage.mp3")) << "Not a stream"
                               << false;
    QTest::newRow("no such local file")
        << QStringLiteral("/nonexistent/dir/radio.mp3") << "File not found" << false;
}

void TestGstBackend::failuresShowAsErrorsWithoutBlocking() {
    QFETCH(QString, url);
    QFETCH(QString, reason);
    QFETCH(bool, retried);
    MediaBackend& e = *m_engine;
    UiStallMonitor monitor;
    qint64 slowest = 0;
    const auto call = [&](const std::function<void()>& f) {
        slowest = std::max(slowest, timed(f));
    };
    // Opened by writing the URL alone: one try, and the reason in plain words.
    call([&] { e.setURL(url); });
    QTRY_COMPARE_WITH_TIMEOUT(e.status(), QStringLiteral("Error: ") + reason, kStartMs);
    QCOMPARE(e.currentPosition(), 0.0);
    // Once the user presses play the engine keeps trying where trying can help, and says why it
    // is still trying; what no retry can fix stays an error.
    call([&] { e.play(); });
    const QString expected = retried ? QStringLiteral("Reconnecting: ") + inSentence(reason)
                                     : QStringLiteral("Error: ") + reason;
    QTRY_COMPARE_WITH_TIMEOUT(e.status(), expected, kStartMs);
    QCOMPARE(e.currentPosition(), 0.0);
    call([&] { e.stop(); });
    QCOMPARE(e.status(), QStringLiteral("Stopped"));
    // Nothing tries again after stop.
    QVERIFY(!waitFor([&] { return e.status() != QLatin1String("Stopped"); }, 1500));
    call([&] { m_engine.reset(); });
    qInfo() << "slowest call" << slowest << "ms, longest UI gap" << monitor.longestGapMs() << "ms";
    QVERIFY(slowest < kMaxBlockMs);
    QVERIFY(monitor.longestGapMs() < kMaxBlockMs);
}

void TestGstBackend::shortStallResumesOnTheSameConnection() {
    MediaBackend& e = *m_engine;
    e.setURL(m_ice.url());
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 1, 3000);
    const QList<qint64> connection = ids(m_ice.listenerList());
    // Under a second without data: the stream goes on as if nothing happened.
    m_ice.pauseServer();
    QTest::qWait(kShortStallMs);
    m_ice.resumeServer();
    const double before = e.currentPosition();
    QTRY_VERIFY_WITH_TIMEOUT(e.currentPosition() > before + 1.0, 5000);
    QCOMPARE(e.status(), QStringLiteral("Playing"));
    QCOMPARE(ids(m_ice.listenerList()), connection);
}

void TestGstBackend::recoversFromFaultsByItself_data() {
    QTest::addColumn<int>("fault");
    QTest::newRow("server stalls past the source's timeout") << int(Fault::Stall);
    QTest::newRow("source drops and comes back") << int(Fault::SourceDrop);
    QTest::newRow("server restarts on the same port") << int(Fault::ServerRestart);
    QTest::newRow("mount appears later") << int(Fault::MountLater);
    QTest::newRow("station switches codec") << int(Fault::CodecSwitch);
}

void TestGstBackend::recoversFromFaultsByItself() {
    QFETCH(int, fault);
    MediaBackend& e = *m_engine;
    // What the window does: URL, then play. Nobody calls play() again: the engine alone must
    // bring the stream back.
    if (Fault(fault) == Fault::MountLater) {
        m_ice.killSource();
    }
    e.setURL(m_ice.url());
    e.play();
    if (Fault(fault) == Fault::MountLater) {
        QTRY_COMPARE_WITH_TIMEOUT(e.status(), QStringLiteral("Reconnecting: HTTP 404 Not Found"),
                                  kStartMs);
        QCOMPARE(e.currentPosition(), 0.0);
        QVERIFY2(m_ice.startSource(), qPrintable(m_ice.lastError()));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        const auto reconnecting = [&] {
            return e.status().startsWith(QLatin1String("Reconnecting"));
        };
        switch (Fault(fault)) {
            case Fault::Stall:
                m_ice.pauseServer();
                // Both the held connection and the new one give up meanwhile.
                QTRY_VERIFY_WITH_TIMEOUT(reconnecting(), kStartMs);
                QTest::qWait(kStallBeyondTimeoutMs);
                m_ice.resumeServer();
                break;
            case Fault::SourceDrop:
                m_ice.killSource();
                QTRY_VERIFY_WITH_TIMEOUT(reconnecting(), kStartMs);
                QVERIFY2(m_ice.startSource(), qPrintable(m_ice.lastError()));
                break;
            case Fault::ServerRestart:
                m_ice.stopServer();
                QTRY_VERIFY_WITH_TIMEOUT(
                    e.status() == QLatin1String("Reconnecting: connection refused"), kStartMs);
                QVERIFY2(m_ice.startServer(), qPrintable(m_ice.lastError()));
                QVERIFY2(m_ice.startSource(), qPrintable(m_ice.lastError()));
                break;
            case Fault::CodecSwitch:
                m_ice.killSource();
                QVERIFY2(m_ice.startSource(IcecastFixture::Codec::OggVorbis),
                         qPrintable(m_ice.lastError()));
                break;
            case Fault::MountLater:
                break;
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kRecoverMs);
    const double start = e.currentPosition();
    QTRY_VERIFY_WITH_TIMEOUT(e.currentPosition() > start + 1.0, 5000);
    // Every connection but the one that plays is gone.
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 1, 5000);
    // Stop ends it all at once, also the retries.
    e.stop();
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 0, 3000);
    QVERIFY(!waitFor([&] { return e.status() != QLatin1String("Stopped"); }, 1000));
    if (Fault(fault) == Fault::CodecSwitch) {
        QVERIFY2(m_ice.startSource(), qPrintable(m_ice.lastError()));  // MP3 for the others
    }
}

void TestGstBackend::stopDuringAStallReleasesEveryConnection() {
    MediaBackend& e = *m_engine;
    e.setURL(m_ice.url());
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    m_ice.pauseServer();
    // The held connection and the new one beside it.
    QTRY_VERIFY_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Reconnecting")), kStartMs);
    e.stop();
    QCOMPARE(e.status(), QStringLiteral("Stopped"));
    QCOMPARE(e.currentPosition(), 0.0);
    m_ice.resumeServer();
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 0, 5000);
    QCOMPARE(e.status(), QStringLiteral("Stopped"));
}

void TestGstBackend::wakingUpStartsAFreshConnection() {
    MediaBackend& e = *m_engine;
    e.setURL(m_ice.url());
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 1, 3000);
    const QList<qint64> before = ids(m_ice.listenerList());
    // What logind's PrepareForSleep(false) or a network coming back ends in. A connection that
    // lived through a suspend is probably dead: a new one takes over while audio goes on.
    WakeWatcher::instance()->notifyWake();
    QTRY_VERIFY_WITH_TIMEOUT(
        m_ice.listenerList().size() == 1 && ids(m_ice.listenerList()) != before, kStartMs);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
}

void TestGstBackend::volumeIsClampedAndKeptAcrossReopening() {
    MediaBackend& e = *m_engine;
    QCOMPARE(e.volume(), 50);
    e.setVolume(150);
    QCOMPARE(e.volume(), 100);
    e.setVolume(37);
    QVERIFY(startPlaying(m_ice.url()));
    QCOMPARE(e.volume(), 37);
    e.setVolume(73);
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QCOMPARE(e.volume(), 73);
    e.setURL(m_ice.missingUrl());
    QCOMPARE(e.volume(), 73);
    // Each engine starts from the default.
    QCOMPARE(createGstBackend()->volume(), 50);
}

void TestGstBackend::destroyedWithMessagesInFlight() {
    // Messages posted by GStreamer's threads wait in the event queue for the engine; an engine
    // that goes away first must drop them (and release them: ASan's leak check watches).
    for (int round = 0; round < 3; ++round) {
        auto engine = createGstBackend();
        engine->setURL(m_ice.url());
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(*engine), kStartMs);
        engine->play();  // a burst of state changes, queued and not yet delivered
        engine.reset();
        QCoreApplication::processEvents();
    }
    auto connecting = createGstBackend();
    connecting->setURL(m_ice.url());
    connecting.reset();
    QCoreApplication::processEvents();
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 0, 3000);
}

void TestGstBackend::playlistsLeadToTheLiveStream_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("hls");
    const QString live = m_ice.url();
    const QString web = m_ice.webroot();
    const QString closed =
        QStringLiteral("http://127.0.0.1:%1/radio.mp3").arg(test::pickFreePort());
    // Mirrors that are down come first: a closed port, then a mount the server does not know.
    QVERIFY(writeFile(web + QStringLiteral("/mirrors.pls"),
                      QStringLiteral("[playlist]\nNumberOfEntries=3\nFile1=%1\nFile2=%2\n"
                                     "File3=%3\nTitle3=Test Radio (mirror 3)\n")
                          .arg(closed, m_ice.missingUrl(), live)
                          .toUtf8()));
    QVERIFY(writeFile(web + QStringLiteral("/station.asx"),
                      QStringLiteral("<ASX version=\"3.0\"><Entry><Title>Test</Title>"
                                     "<Ref href=\"%1\"/></Entry></ASX>\n")
                          .arg(live)
                          .toUtf8()));
    // A playlist behind a name that does not say so: only the pipeline can tell.
    QVERIFY(writeFile(web + QStringLiteral("/listen"),
                      QStringLiteral("[playlist]\nFile1=%1\n").arg(live).toUtf8()));
    QVERIFY(writeFile(web + QStringLiteral("/stream"), live.toUtf8() + '\n'));
    QVERIFY(writeFile(web + QStringLiteral("/local.m3u"),
                      QStringLiteral("#EXTM3U\n#EXTINF:-1,Test\n%1\n").arg(live).toUtf8()));
    QVERIFY(writeFile(web + QStringLiteral("/local.xspf"),
                      QStringLiteral("<?xml version=\"1.0\"?><playlist version=\"1\" "
                                     "xmlns=\"http://xspf.org/ns/0/\"><trackList><track>"
                                     "<location>%1</location></track></trackList></playlist>\n")
                          .arg(live)
                          .toUtf8()));

    QTest::newRow("Icecast's own M3U") << m_ice.urlFor(m_ice.mount() + ".m3u") << false;
    QTest::newRow("Icecast's own XSPF") << m_ice.urlFor(m_ice.mount() + ".xspf") << false;
    QTest::newRow("PLS with dead mirrors first") << m_ice.urlFor("/mirrors.pls") << false;
    QTest::newRow("ASX") << m_ice.urlFor("/station.asx") << false;
    QTest::newRow("PLS named like a stream") << m_ice.urlFor("/listen") << false;
    QTest::newRow("URL list named like a stream") << m_ice.urlFor("/stream") << false;
    QTest::newRow("local M3U by path") << web + "/local.m3u" << false;
    QTest::newRow("local XSPF by file URL")
        << QUrl::fromLocalFile(web + "/local.xspf").toString() << false;
    QTest::newRow("live HLS") << m_ice.urlFor("/hls/live.m3u8") << true;
}

void TestGstBackend::playlistsLeadToTheLiveStream() {
    QFETCH(QString, url);
    QFETCH(bool, hls);
    QProcess hlsSource;
    // Segments must stay readable for a server running as another user.
    hlsSource.setChildProcessModifier([] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::umask(022);
    });
    const auto stopHls = qScopeGuard([&] {
        hlsSource.kill();
        hlsSource.waitForFinished(3000);
    });
    if (hls) {
        // A live AAC stream cut into one-second MPEG-TS segments, served as plain files.
        const QString dir = m_ice.webroot() + QStringLiteral("/hls");
        QVERIFY(QDir().mkpath(dir));
        QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ReadOther | QFile::ExeOther);
        hlsSource.start(QStringLiteral("gst-launch-1.0"),
                        QProcess::splitCommand(
                            "-q audiotestsrc is-live=true volume=0.2 ! audioconvert ! avenc_aac ! "
                            "aacparse ! hlssink2 target-duration=1 playlist-length=4 max-files=8 "
                            "location=" +
                            dir + "/seg%05d.ts playlist-location=" + dir + "/live.m3u8"));
        QVERIFY(hlsSource.waitForStarted());
        // Three segments listed: enough for the demuxer to start at the live edge.
        QVERIFY2(
            waitFor(
                [&] {
                    QFile list(dir + QStringLiteral("/live.m3u8"));
                    return hlsSource.state() != QProcess::Running ||
                           (list.open(QIODevice::ReadOnly) && list.readAll().count("#EXTINF") >= 3);
                },
                15000) &&
                hlsSource.state() == QProcess::Running,
            hlsSource.readAll().constData());
    }

    MediaBackend& e = *m_engine;
    QElapsedTimer clock;
    clock.start();
    e.setURL(url);
    e.play();
    QCOMPARE(e.status(), QStringLiteral("Connecting"));
    QCOMPARE(e.currentPosition(), 0.0);
    QCOMPARE(e.mediaSourceURL(), url);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    const double start = e.currentPosition();
    QTRY_VERIFY_WITH_TIMEOUT(e.currentPosition() > start + 1.0, 6000);
    QCOMPARE(e.URL(), url);
    // The address shown is the stream's, not the playlist's; HLS is its own stream.
    QCOMPARE(e.mediaSourceURL(), hls ? url : m_ice.url());
    if (hls) {
        QCOMPARE(e.mediaName(), QStringLiteral("live"));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(e.mediaName(), QLatin1String(IcecastFixture::kFirstTitle), 5000);
    }
    qInfo() << "playing after" << clock.elapsed() << "ms";
    e.stop();
    QCOMPARE(e.status(), QStringLiteral("Stopped"));
}

void TestGstBackend::badPlaylistsFailAndEveryPlayFetchesAgain() {
    MediaBackend& e = *m_engine;
    const QString path = m_ice.webroot() + QStringLiteral("/changing.pls");
    const QString url = m_ice.urlFor(QStringLiteral("/changing.pls"));
    const auto failsWith = [&](const char* reason) {
        const QString expected = QStringLiteral("Error: ") + QLatin1String(reason);
        return waitFor(
            [&] { return e.status().startsWith(expected) && e.currentPosition() == 0.0; },
            kStartMs);
    };

    // Not there, binary, empty: each is an error of its own, so each play() fetched anew.
    e.setURL(url);
    QVERIFY2(failsWith("HTTP 404"), qPrintable(e.status()));
    QCOMPARE(e.mediaSourceURL(), url);
    QVERIFY(writeFile(path, QByteArray("ID3\x04\0\0\0\0\0\0", 10) + QByteArray(4096, '\xff')));
    e.play();
    QVERIFY2(failsWith("not a playlist"), qPrintable(e.status()));
    // An empty list may be a station's server in trouble: the engine keeps fetching it, and
    // plays as soon as it names a stream again, without anyone pressing play.
    QVERIFY(writeFile(path, {}));
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Reconnecting: ")), kStartMs);
    QVERIFY(!e.status().contains(QLatin1String("not a playlist")));
    const int before = m_ice.listenerConnections();
    QVERIFY(writeFile(path, QStringLiteral("[playlist]\nFile1=%1\n").arg(m_ice.url()).toUtf8()));
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QCOMPARE(e.mediaSourceURL(), m_ice.url());
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerConnections() - before, 1, 2000);

    // The stream drops and comes back: the station plays again by itself.
    m_ice.killSource();
    QTRY_VERIFY_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Reconnecting")), kStartMs);
    QVERIFY2(m_ice.startSource(), qPrintable(m_ice.lastError()));
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kRecoverMs);

    // The watchdog's reconnect reads the playlist again and follows it where it now points.
    QVERIFY(writeFile(path, QStringLiteral("[playlist]\nFile1=%1\n").arg(m_ice.url()).toUtf8()));
    e.play();
    QCOMPARE(e.status(), QStringLiteral("Connecting"));
    QCOMPARE(e.currentPosition(), 0.0);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e) && e.mediaSourceURL() == m_ice.url(), kStartMs);

    // Stopped or destroyed while the playlist is on its way: nothing follows.
    e.play();
    e.stop();
    QCOMPARE(e.status(), QStringLiteral("Stopped"));
    QVERIFY(!waitFor([&] { return e.status() != QLatin1String("Stopped"); }, 1500));
    e.play();
    QCoreApplication::processEvents();
    m_engine.reset();
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 0, 3000);
}

QTEST_GUILESS_MAIN(TestGstBackend)
#include "tst_gstbackend.moc"
