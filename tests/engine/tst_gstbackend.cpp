// SPDX-License-Identifier: GPL-3.0-or-later
// The GStreamer engine against a real local Icecast server: what the window's once-a-second
// watchdog reads (status, position) and what it does (play) through stalls, drops and failures.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <QtTest>

#include "engine/GstBackend.h"
#include "engine/MediaNames.h"
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

    void namesFromUrls_data();
    void namesFromUrls();
    void playsLiveStreamInRealTimeAndStops();
    void setUrlThenPlayOpensOneConnection();
    void nameFollowsTitleThenStationThenUrl();
    void failuresShowAsErrorsWithoutBlocking_data();
    void failuresShowAsErrorsWithoutBlocking();
    void stallFreezesPositionAndKeepsTheConnection();
    void playReconnectsAfterDropAndServerRestart();
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

void TestGstBackend::namesFromUrls_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("name");
    const std::pair<const char*, const char*> rows[] = {
        {"http://radio.example:8000/live/jazz.mp3", "jazz"},
        {"http://radio.example/stream", "stream"},
        {"http://radio.example/a.b.aac", "a.b"},  // only the last extension goes
        {"http://radio.example/x/late.ogg?sid=4&t=1", "late"},
        {"http://radio.example/channels/rock/", "rock"},
        {"http://radio.example/My%20Station.mp3", "My Station"},
        {"http://radio.example:8000/", "radio.example"},
        {"/home/me/Music/track.flac", "track"},
        {"http://radio.example/.hidden", ".hidden"},
    };
    for (const auto& [url, name] : rows) {
        QTest::newRow(url) << QString::fromUtf8(url) << QString::fromUtf8(name);
    }
}

void TestGstBackend::namesFromUrls() {
    QFETCH(QString, url);
    QFETCH(QString, name);
    QCOMPARE(nameFromUrl(url), name);
    // Title before station before URL; nothing at all without a URL.
    QCOMPARE(displayName({}, {}, url), name);
    QCOMPARE(displayName(QStringLiteral("  "), QStringLiteral("Station"), url),
             QStringLiteral("Station"));
    QCOMPARE(displayName(QStringLiteral("Title"), QStringLiteral("Station"), url),
             QStringLiteral("Title"));
    QCOMPARE(displayName(QStringLiteral("Title"), QStringLiteral("Station"), {}), QString());
    // A playlist's name for the entry comes after the stream's own words, before the URL.
    QCOMPARE(displayName({}, {}, QStringLiteral(" Listed "), url), QStringLiteral("Listed"));
    QCOMPARE(displayName({}, QStringLiteral("Station"), QStringLiteral("Listed"), url),
             QStringLiteral("Station"));
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
    QVERIFY(
        writeFile(m_ice.webroot() + QStringLiteral("/garbage.mp3"), QByteArray(64 * 1024, '\x17')));
    QTest::newRow("missing mount (404)") << m_ice.missingUrl();
    QTest::newRow("closed port")
        << QStringLiteral("http://127.0.0.1:%1/radio.mp3").arg(test::pickFreePort());
    QTest::newRow("not audio") << m_ice.urlFor(QStringLiteral("/garbage.mp3"));
    QTest::newRow("no such local file") << QStringLiteral("/nonexistent/dir/radio.mp3");
}

void TestGstBackend::failuresShowAsErrorsWithoutBlocking() {
    QFETCH(QString, url);
    MediaBackend& e = *m_engine;
    UiStallMonitor monitor;
    qint64 slowest = 0;
    const auto call = [&](const std::function<void()>& f) {
        slowest = std::max(slowest, timed(f));
    };
    call([&] { e.setURL(url); });
    call([&] { e.play(); });
    QTRY_VERIFY_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Error: ")), kStartMs);
    QVERIFY2(e.status().size() > 7, qPrintable(e.status()));
    QCOMPARE(e.currentPosition(), 0.0);
    // The watchdog's retry fails the same way, just as quietly.
    call([&] { e.play(); });
    QTRY_VERIFY_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Error: ")), kStartMs);
    call([&] { e.stop(); });
    QCOMPARE(e.status(), QStringLiteral("Stopped"));
    call([&] { m_engine.reset(); });
    qInfo() << "slowest call" << slowest << "ms, longest UI gap" << monitor.longestGapMs() << "ms";
    QVERIFY(slowest < kMaxBlockMs);
    QVERIFY(monitor.longestGapMs() < kMaxBlockMs);
}

void TestGstBackend::stallFreezesPositionAndKeepsTheConnection() {
    MediaBackend& e = *m_engine;
    QVERIFY(startPlaying(m_ice.url()));
    QTRY_VERIFY_WITH_TIMEOUT(e.currentPosition() > 1.0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerList().size(), 1, 3000);
    const QList<qint64> connection = ids(m_ice.listenerList());

    // A true stall: the server stops, its connections stay open, no data flows. The player
    // first plays out what it has buffered, then the position must stand still exactly: the
    // watchdog compares positions for equality.
    QElapsedTimer stalled;
    stalled.start();
    m_ice.pauseServer();
    double frozen = -1.0;
    QElapsedTimer unchanged;
    QVERIFY(waitFor(
        [&] {
            const double p = e.currentPosition();
            if (p != frozen) {
                frozen = p;
                unchanged.start();
            }
            return unchanged.elapsed() >= 1500;
        },
        12000));
    QVERIFY(frozen > 1.0);
    // Past souphttpsrc's own 15 s give-up point: nothing may fail or move, the connection is
    // left for the watchdog to judge.
    UiStallMonitor monitor;
    int samples = 0;
    QVERIFY(waitFor(
        [&] {
            ++samples;
            const bool moved = e.currentPosition() != frozen;
            return moved || e.status() != QLatin1String("Playing") || stalled.elapsed() >= 17000;
        },
        19000));
    QCOMPARE(e.currentPosition(), frozen);
    QCOMPARE(e.status(), QStringLiteral("Playing"));
    QVERIFY(samples > 100);

    // The server comes back before the watchdog acts: playback goes on over the same
    // connection by itself.
    m_ice.resumeServer();
    QTRY_VERIFY_WITH_TIMEOUT(e.currentPosition() > frozen + 0.5, 8000);
    QCOMPARE(ids(m_ice.listenerList()), connection);

    // The watchdog's play() replaces it with a fresh connection; the position starts over.
    const qint64 playCost = timed([&] { e.play(); });
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QVERIFY(e.currentPosition() < frozen);
    QTRY_VERIFY_WITH_TIMEOUT(
        m_ice.listenerList().size() == 1 && ids(m_ice.listenerList()) != connection, 3000);
    QVERIFY2(playCost < kMaxBlockMs, qPrintable(QString::number(playCost)));
    QVERIFY2(monitor.longestGapMs() < kMaxBlockMs,
             qPrintable(QString::number(monitor.longestGapMs())));
}

void TestGstBackend::playReconnectsAfterDropAndServerRestart() {
    MediaBackend& e = *m_engine;

    // The source goes away: the server ends the stream, which reads as stopped.
    QVERIFY(startPlaying(m_ice.url()));
    m_ice.killSource();
    QTRY_COMPARE_WITH_TIMEOUT(e.status(), QStringLiteral("Stopped"), 12000);
    QCOMPARE(e.currentPosition(), 0.0);
    QVERIFY2(m_ice.startSource(), qPrintable(m_ice.lastError()));
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);

    // The whole server goes away: playback ends one way or another, and play() fails quietly
    // while nobody listens on the port.
    m_ice.stopServer();
    QTRY_VERIFY_WITH_TIMEOUT(e.status() != QLatin1String("Playing"), 12000);
    QCOMPARE(e.currentPosition(), 0.0);
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Error: ")), kStartMs);
    QCOMPARE(e.currentPosition(), 0.0);

    // Back on the same port: the next play() reconnects.
    QVERIFY2(m_ice.startServer(), qPrintable(m_ice.lastError()));
    QVERIFY2(m_ice.startSource(), qPrintable(m_ice.lastError()));
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
}

void TestGstBackend::volumeIsClampedAndKeptAcrossReopening() {
    MediaBackend& e = *m_engine;
    QCOMPARE(e.volume(), 50);
    e.setVolume(-5);
    QCOMPARE(e.volume(), 0);
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
    QVERIFY(writeFile(path, {}));
    e.play();
    QVERIFY2(failsWith(""), qPrintable(e.status()));
    QVERIFY(!e.status().contains(QLatin1String("not a playlist")));

    // Fixed: the next play() finds the stream. A second play() while the list is still being
    // fetched adds nothing.
    const int before = m_ice.listenerConnections();
    QVERIFY(writeFile(path, QStringLiteral("[playlist]\nFile1=%1\n").arg(m_ice.url()).toUtf8()));
    e.play();
    e.play();
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
    QCOMPARE(e.mediaSourceURL(), m_ice.url());
    QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerConnections() - before, 1, 2000);

    // The watchdog's reconnect reads the playlist again and follows it where it now points.
    const QString moved = m_ice.url() + QStringLiteral("?moved=1");
    QVERIFY(writeFile(path, QStringLiteral("[playlist]\nFile1=%1\n").arg(moved).toUtf8()));
    e.play();
    QCOMPARE(e.status(), QStringLiteral("Connecting"));
    QCOMPARE(e.currentPosition(), 0.0);
    QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e) && e.mediaSourceURL() == moved, kStartMs);

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
