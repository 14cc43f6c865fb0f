// SPDX-License-Identifier: GPL-3.0-or-later
// The GStreamer engine against a real local Icecast server: what the window's once-a-second
// watchdog reads (status, position) and what it does (play) through stalls, drops and failures.
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>

#include "engine/GstBackend.h"
#include "engine/MediaBackend.h"
#include "engine/NetworkWatch.h"
#include "support/IcecastFixture.h"
#include "support/TestCertificates.h"
#include "support/UiStallMonitor.h"

using namespace orvane;
using orvane::test::IcecastFixture;
using Certificate = orvane::test::TestCertificates::Server;

namespace {

// Playback starts ~0.4 s after the open on loopback; leave room for ASan and a busy machine.
constexpr int kStartMs = 10000;
// A fault's end to audio again, with room for ASan and a busy machine.
constexpr int kRecoverMs = 10000;
// How long the server takes to see a listener come or go.
constexpr int kServerSeesMs = 3000;
// The UI thread must never wait this long on the engine.
constexpr qint64 kMaxBlockMs = 100;
// Shorter than the engine's patience with a silent connection.
constexpr int kShortStallMs = 1000;
// Longer than the shortened source timeout of the stall row (test_gstbackend_sourcetimeout).
constexpr int kStallBeyondTimeoutMs = 4000;
// The live HLS source has its first segments out.
constexpr int kHlsReadyMs = 15000;
// A six-second file played to its end, with room for ASan and a busy machine.
constexpr int kFileEndMs = 15000;
// Long enough for a retry that should not happen to show.
constexpr int kQuietMs = 1500;

// A fixture step that must work; the fixture says why it did not.
#define ICE_OK(step) QVERIFY2(step, qPrintable(m_ice.lastError()))

enum class Fault { Stall, SourceDrop, ServerRestart, MountLater, CodecSwitch };

bool isPlaying(const MediaBackend& engine) {
    return engine.status() == QLatin1String("Playing") && engine.currentPosition() > 0.0;
}

// The position moves on by a second: audio really flows.
bool advances(const MediaBackend& engine) {
    const double start = engine.currentPosition();
    return QTest::qWaitFor([&] { return engine.currentPosition() > start + 1.0; }, 5000);
}

// Nothing brings a stopped engine back by itself.
bool staysStopped(const MediaBackend& engine) {
    return engine.status() == QLatin1String("Stopped") &&
           !QTest::qWaitFor([&] { return engine.status() != QLatin1String("Stopped"); }, kQuietMs);
}

QString closedPortUrl() {
    return QStringLiteral("http://127.0.0.1:%1/radio.mp3").arg(IcecastFixture::pickFreePort());
}

// A web server of the test's own, for what Icecast cannot stage: it notes when each request
// arrives, answers with what `answer` gives for the path, and then closes the connection, or
// keeps it open and silent (a stalled station) when `hold` is set.
struct FakeServer {
    struct Request {
        QByteArray path;
        qint64 atMs = 0;
    };
    std::function<QByteArray(const QByteArray& path)> answer;
    bool hold = false;
    QList<Request> requests;
    QElapsedTimer clock;
    QTcpServer server;

    FakeServer() {
        clock.start();
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [this, socket] { onRequest(socket); });
            }
        });
    }
    void onRequest(QTcpSocket* socket) {
        if (socket->property("answered").toBool() || !socket->peek(8192).contains("\r\n\r\n")) {
            return;
        }
        socket->setProperty("answered", true);
        const QByteArray path = socket->readAll().split(' ').value(1);
        requests.append({path, clock.elapsed()});
        socket->write(answer(path));
        if (!hold) {
            socket->disconnectFromHost();
        }
    }
    QString url(const char* path) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
    }
};

// Counts the lines the program writes to its log while it lives.
class LogCounter {
  public:
    LogCounter() { s_previous = qInstallMessageHandler(&count); }
    ~LogCounter() { qInstallMessageHandler(s_previous); }
    static int lines() { return s_lines; }

  private:
    static void count(QtMsgType, const QMessageLogContext&, const QString&) { ++s_lines; }
    static inline QtMessageHandler s_previous = nullptr;
    static inline int s_lines = 0;
};

}  // namespace

class TestGstBackend : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        // The QT_NO_GLIB run proves that bus messages reach the engine without GLib's main loop.
        const QByteArray dispatcher =
            QAbstractEventDispatcher::instance()->metaObject()->className();
        QVERIFY(qEnvironmentVariableIntValue("QT_NO_GLIB") != 1 || !dispatcher.contains("Glib"));
        // HTTPS from Icecast, signed by the test's own authority; and two servers whose
        // certificates no one should trust, which refuse every connection at the handshake.
        QVERIFY2(m_certs.make(), qPrintable(m_certs.error()));
        qputenv("ORVANE_TEST_CA_FILE", QFile::encodeName(m_certs.caFile()));
        ICE_OK(m_ice.setTlsCertificate(m_certs.bundleFile(Certificate::Trusted)));
        for (auto& [server, certificate] : {std::pair{&m_selfSigned, Certificate::SelfSigned},
                                            {&m_wrongHost, Certificate::WrongHost}}) {
            server->setSslConfiguration(m_certs.serverConfiguration(certificate));
            QVERIFY(server->listen(QHostAddress::LocalHost));
        }
        ICE_OK(m_ice.start());
        // The fixture's own probe of the mount, which Icecast counts a moment later.
        QTRY_VERIFY_WITH_TIMEOUT(m_ice.listenerConnections() > 0, kServerSeesMs);
    }
    void init() { m_engine = createGstBackend(); }
    void cleanup() {
        m_engine.reset();
        // Leave a healthy server and stream for the next test, whatever this one did to them.
        m_ice.resumeServer();
        ICE_OK(m_ice.serverRunning() || m_ice.startServer());
        ICE_OK((m_ice.mountLive() && m_ice.sourceRunning()) || m_ice.startSource());
        QVERIFY(m_ice.setTitle(QLatin1String(IcecastFixture::kFirstTitle)));
    }

    void playsLiveStreamInRealTimeAndStops() {
        MediaBackend& e = *m_engine;
        // Nothing loaded: play and stop do nothing, everything reads empty.
        e.play();
        e.stop();
        QCOMPARE(e.status() + e.mediaName() + e.URL(), QString());
        QCOMPARE(e.volume(), 50);
        e.setVolume(150);
        QCOMPARE(e.volume(), 100);
        const int before = m_ice.listenerConnections();

        // What the window does when a station is picked: write the URL, then press play at once.
        e.setURL(m_ice.missingUrl());
        e.setURL(m_ice.url());
        e.play();
        e.play();
        QCOMPARE(e.mediaSourceURL(), m_ice.url());
        // On the way: connecting, perhaps buffering, and nothing played yet; then playing.
        const QRegularExpression opening(QStringLiteral("^(Connecting|Buffering \\d{1,2}%)$"));
        QVERIFY(QTest::qWaitFor(
            [&] { return !opening.match(e.status()).hasMatch() || e.currentPosition() != 0.0; },
            kStartMs));
        QCOMPARE(e.status(), QStringLiteral("Playing"));
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);

        // The server sees one listener, and it is us. Icecast counts on its own thread, a moment
        // after the fact.
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listeners().size(), 1, kServerSeesMs);
        const QStringList first = m_ice.listeners();
        QVERIFY2(first.constFirst().contains(QLatin1String(" OrvanePlayer/")),
                 qPrintable(first[0]));
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerConnections() - before, 1, kServerSeesMs);

        // Once the open has run, play() is the reconnect: one new connection replacing the old.
        e.setVolume(73);  // on the playing pipeline, just before it goes
        e.play();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_ice.listeners().size() == 1 && m_ice.listeners() != first,
                                 kServerSeesMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerConnections() - before, 2, kServerSeesMs);

        // Real time: three seconds of audio take three seconds, also with no sound card here.
        const double start = e.currentPosition();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(QTest::qWaitFor([&] { return e.currentPosition() >= start + 3.0; }, 6000));
        const double rate = (e.currentPosition() - start) / (clock.elapsed() / 1000.0);
        QVERIFY2(rate > 0.9 && rate < 1.1, qPrintable(QString::number(rate)));
        // The connection is released, and nothing that was still queued brings playback back.
        e.stop();
        QCOMPARE(e.currentPosition(), 0.0);
        QCOMPARE(e.URL(), m_ice.url());
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listeners().size(), 0, kServerSeesMs);
        QVERIFY(staysStopped(e));
    }
    void nameFollowsTitleThenStationThenUrl() {
        MediaBackend& e = *m_engine;
        e.setURL(m_ice.url());
        QTRY_COMPARE_WITH_TIMEOUT(e.mediaName(), QLatin1String(IcecastFixture::kFirstTitle),
                                  kStartMs);

        // A new title reaches listeners with the next metadata block, a few seconds later.
        const QString next = QStringLiteral("Artist - Song Two (\u00e9t\u00e9 mix)");
        QVERIFY(m_ice.setTitle(next));
        QTRY_COMPARE_WITH_TIMEOUT(e.mediaName(), next, 12000);
        // Reconnecting to the same station keeps the name until the stream says otherwise, so the
        // window does not flicker through the URL's name on every reconnect.
        e.play();
        QCOMPARE(e.mediaName(), next);
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        // Another station forgets the old titles at once.
        e.setURL(m_ice.missingUrl());
        QCOMPARE(e.mediaName(), QStringLiteral("nothing-here"));

        // A plain file with no tags: the URL names it, it plays to its end although its download
        // ended long before (no stall, no second connection starting it over), and its end
        // reads as stopped.
        const QString file =
            m_ice.encode(QStringLiteral("morning-show.mp3"), QStringLiteral("lamemp3enc"), 6);
        e.setURL(file);
        e.play();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        QTRY_COMPARE_WITH_TIMEOUT(e.status(), QStringLiteral("Stopped"), kFileEndMs);
        QCOMPARE(e.mediaName(), QStringLiteral("morning-show"));
    }
    void failuresShowAsErrorsWithoutBlocking_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("afterPlay");  // empty: no retry can help, it stays an error
        const QString garbage =
            m_ice.serve(QStringLiteral("garbage.mp3"), QByteArray(65536, '\x17'));
        QTest::newRow("closed port") << closedPortUrl() << "Connection refused"
                                     << "Reconnecting: connection refused";
        QTest::newRow("no such host") << QStringLiteral("http://no-such-host.invalid/radio.mp3")
                                      << "Host not found (no-such-host.invalid)"
                                      << "Reconnecting: host not found (no-such-host.invalid)";
        // A captive portal or a misconfigured server: the engine keeps trying, for a portal
        // clears once the user has logged in, and says why it cannot get through. Both the
        // stream and the playlist's download.
        const auto https = [](const QSslServer& server, const char* path) {
            return QStringLiteral("https://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
        };
        const auto untrusted = [](const char* name, const QString& url, const char* why) {
            const QString reason = QStringLiteral("the server's certificate is not trusted (%1)")
                                       .arg(QLatin1String(why));
            QTest::newRow(name) << url << u'T' + reason.mid(1) << "Reconnecting: " + reason;
        };
        untrusted("self-signed stream", https(m_selfSigned, "/radio.mp3"), "self-signed");
        untrusted("stream for another host", https(m_wrongHost, "/radio.mp3"),
                  "issued for another host");
        untrusted("self-signed playlist", https(m_selfSigned, "/radio.pls"), "self-signed");
        QTest::newRow("not audio") << garbage << "Not a stream" << QString();
        QTest::newRow("no such local file")
            << QStringLiteral("/nonexistent/dir/radio.mp3") << "File not found" << QString();
    }
    void failuresShowAsErrorsWithoutBlocking() {
        QFETCH(QString, url);
        QFETCH(QString, reason);
        QFETCH(QString, afterPlay);
        MediaBackend& e = *m_engine;
        // A call that keeps the UI thread shows as a gap between the monitor's ticks.
        const test::UiStallMonitor monitor;
        // Opened by writing the URL alone: one try, and the reason in plain words.
        e.setURL(url);
        QTRY_COMPARE_WITH_TIMEOUT(e.status(), QStringLiteral("Error: ") + reason, kStartMs);
        // Once the user presses play the engine keeps trying where trying can help, and says why it
        // is still trying; what no retry can fix stays an error.
        e.play();
        QTRY_COMPARE_WITH_TIMEOUT(e.status(), afterPlay.isEmpty() ? "Error: " + reason : afterPlay,
                                  kStartMs);
        QCOMPARE(e.currentPosition(), 0.0);
        e.stop();
        QVERIFY(staysStopped(e));
        m_engine.reset();
        QVERIFY2(monitor.longestGapMs() < kMaxBlockMs,
                 qPrintable(QString::number(monitor.longestGapMs())));
    }
    void stallsWakeUpsAndStopDuringAStall() {
        MediaBackend& e = *m_engine;
        e.setURL(m_ice.url());
        e.play();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listeners().size(), 1, kServerSeesMs);
        const QStringList connection = m_ice.listeners();
        // Under a second without data: the stream goes on as if nothing happened.
        m_ice.pauseServer();
        QTest::qWait(kShortStallMs);
        m_ice.resumeServer();
        QVERIFY(advances(e));
        QCOMPARE(e.status(), QStringLiteral("Playing"));
        QCOMPARE(m_ice.listeners(), connection);

        // What logind's PrepareForSleep(false) or a network coming back ends in. A connection that
        // lived through a suspend is probably dead: a new one takes over while audio goes on.
        // The old one is let go without the UI thread waiting for it: now and then GStreamer's
        // HTTP source misses the cancellation of its read and holds the connection until the
        // server gives up on it, so it is not required to leave the server's list at once.
        const auto others = [&] {
            QStringList now = m_ice.listeners();
            now.removeAll(connection.value(0));
            return now;
        };
        const test::UiStallMonitor monitor;
        const double before = e.currentPosition();
        WakeWatcher::instance()->notifyWake();
        QTRY_COMPARE_WITH_TIMEOUT(others().size(), 1, kStartMs);
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        // The new connection continues the programme in the same player: the time runs on from
        // where it was, and never starts over.
        double lowest = before;
        const bool startedOver = QTest::qWaitFor(
            [&] { return (lowest = std::min(lowest, e.currentPosition())) < before; },
            2 * kQuietMs);
        QVERIFY2(!startedOver, qPrintable(QString::number(lowest)));
        QVERIFY2(monitor.longestGapMs() < kMaxBlockMs,
                 qPrintable(QString::number(monitor.longestGapMs())));

        // A long stall: the held connection and a new one beside it; STOP releases both.
        m_ice.pauseServer();
        QTRY_VERIFY_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Reconnecting")), kStartMs);
        e.stop();
        m_ice.resumeServer();
        QTRY_COMPARE_WITH_TIMEOUT(others().size(), 0, kServerSeesMs);
        QVERIFY(staysStopped(e));
    }
    void recoversFromFaultsByItself_data() {
        QTest::addColumn<Fault>("fault");
        QTest::newRow("server stalls past the source's timeout") << Fault::Stall;
        QTest::newRow("source drops and comes back") << Fault::SourceDrop;
        QTest::newRow("server restarts on the same port") << Fault::ServerRestart;
        QTest::newRow("mount appears later") << Fault::MountLater;
        QTest::newRow("station switches codec") << Fault::CodecSwitch;
    }
    void recoversFromFaultsByItself() {
        QFETCH(Fault, fault);
        if (fault == Fault::Stall && !qEnvironmentVariableIsSet("ORVANE_TEST_SOURCE_TIMEOUT")) {
            QSKIP(
                "runs as test_gstbackend_sourcetimeout, with the HTTP source's timeout cut short");
        }
        MediaBackend& e = *m_engine;
        const auto reconnecting = [&](const QString& why = {}) {
            return QTest::qWaitFor([&] { return e.status().startsWith("Reconnecting" + why); },
                                   kStartMs);
        };
        // What the window does: URL, then play. Nobody calls play() again: the engine alone must
        // bring the stream back.
        if (fault == Fault::MountLater) {
            m_ice.killSource();
        }
        e.setURL(m_ice.url());
        e.play();
        if (fault != Fault::MountLater) {
            QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        }
        switch (fault) {
            case Fault::Stall:
                m_ice.pauseServer();
                // Both the held connection and the new one give up meanwhile.
                QVERIFY(reconnecting());
                QTest::qWait(kStallBeyondTimeoutMs);
                m_ice.resumeServer();
                break;
            case Fault::SourceDrop: {
                m_ice.killSource();
                QVERIFY(reconnecting());
                // The window's watchdog restarts a stream whose position stands still. While the
                // player waits for data, the restart keeps the decoder and what it has heard:
                // the station's first bytes follow on from there, where a player that started
                // over would count from 0 and play the new connection's burst once more.
                double heard = 0.0;
                QVERIFY(QTest::qWaitFor(
                    [&] {
                        const double now = e.currentPosition();
                        heard = std::max(heard, now);
                        return heard > 0.0 && now == 0.0;
                    },
                    kRecoverMs));
                e.play();
                ICE_OK(m_ice.startSource());
                QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kRecoverMs);
                QVERIFY2(
                    e.currentPosition() >= heard - 0.1,
                    qPrintable(QStringLiteral("%1 after %2").arg(e.currentPosition()).arg(heard)));
                break;
            }
            case Fault::ServerRestart:
                m_ice.stopServer();
                QVERIFY2(reconnecting(QStringLiteral(": connection refused")),
                         qPrintable(e.status()));
                ICE_OK(m_ice.startServer() && m_ice.startSource());
                break;
            case Fault::MountLater:
                QVERIFY2(reconnecting(QStringLiteral(": HTTP 404 Not Found")),
                         qPrintable(e.status()));
                ICE_OK(m_ice.startSource());
                break;
            case Fault::CodecSwitch:
                ICE_OK(m_ice.startSource(IcecastFixture::Codec::OggVorbis));
                break;
        }
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kRecoverMs);
        QVERIFY(advances(e));
        // Every connection but the one that plays is gone.
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listeners().size(), 1, 5000);
        // Stop ends it all at once, also a connection that took over from another.
        e.stop();
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listeners().size(), 0, kServerSeesMs);
        if (fault == Fault::CodecSwitch) {
            ICE_OK(m_ice.startSource());  // MP3 for the others
        }
    }
    void measuresTheSoundBeforeTheVolume() {
        MediaBackend& e = *m_engine;
        QList<SoundLevels> heard;
        e.setSoundListener([&](const SoundLevels& levels) { heard.append(levels); });
        // Silent to the listener, yet the tone is measured at its own level: a steady peak in one
        // low band, well up the scale.
        e.setVolume(0);
        e.setURL(m_ice.url());
        e.play();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        QTRY_VERIFY_WITH_TIMEOUT(heard.size() > 10, kStartMs);
        const auto loudest = [](const SoundLevels& l) {
            return int(std::max_element(l.begin(), l.end()) - l.begin());
        };
        const SoundLevels last = heard.last();
        QCOMPARE(int(last.size()), 24);
        QVERIFY2(last[loudest(last)] > 0.5f, qPrintable(QString::number(last[loudest(last)])));
        QVERIFY(loudest(last) > 0 && loudest(last) < 12);
        QCOMPARE(loudest(heard[heard.size() - 5]), loudest(last));
        // Stop: the sound ends at once, and nothing more is heard.
        e.stop();
        QVERIFY(heard.last().empty());
        const auto calls = heard.size();
        QVERIFY(!QTest::qWaitFor([&] { return heard.size() != calls; }, kQuietMs));
    }
    void secondConnectionAfterThreeSecondsOfSilence() {
        // The HTTP source's own timeout as users have it (10 s): only the engine's own rule can
        // open the second connection this early.
        QVERIFY(!qEnvironmentVariableIsSet("ORVANE_TEST_SOURCE_TIMEOUT"));
        // A station that sends a few seconds of audio at once, as Icecast does for a new
        // listener, and then nothing, with the connection left open: a stalled server.
        QFile burst(m_ice.webroot() + QStringLiteral("/burst.mp3"));
        QVERIFY(!m_ice
                     .encode(QStringLiteral("burst.mp3"),
                             QStringLiteral("lamemp3enc target=bitrate bitrate=128 cbr=true"), 4)
                     .isEmpty() &&
                burst.open(QIODevice::ReadOnly));
        FakeServer station;
        station.hold = true;
        station.answer = [audio = burst.readAll()](const QByteArray&) {
            return "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n" + audio;
        };
        MediaBackend& e = *m_engine;
        e.setURL(station.url("/radio.mp3"));
        e.play();
        QTRY_COMPARE_WITH_TIMEOUT(station.requests.size(), 2, kStartMs);
        // The audio goes out at once: the silence starts with the first request.
        const qint64 silentMs = station.requests[1].atMs - station.requests[0].atMs;
        QVERIFY2(silentMs > 2500 && silentMs < 4500, qPrintable(QString::number(silentMs)));
        qInfo("second connection after %lld ms of silence", silentMs);
    }
    void longOutagePacedAndQuietInTheLog() {
        // A station whose playlist lists two mirrors, both away (404) for as long as it takes.
        FakeServer station;
        const QStringList mirrors = {station.url("/a.mp3"), station.url("/b.mp3")};
        const QByteArray list = "[playlist]\nFile1=" + mirrors[0].toUtf8() +
                                "\nTitle1=Mirror A\nFile2=" + mirrors[1].toUtf8() +
                                "\nTitle2=Mirror B\n";
        // What the window and the media controls show each time the playlist is fetched again:
        // the mirror last tried, never the playlist's own name and URL.
        QStringList shownWhileFetched;
        station.answer = [&](const QByteArray& path) -> QByteArray {
            if (path != "/station.pls") {
                return "HTTP/1.0 404 Not Found\r\n\r\n";
            }
            if (station.requests.size() > 1) {
                shownWhileFetched << m_engine->mediaName() + u' ' + m_engine->mediaSourceURL();
            }
            return "HTTP/1.0 200 OK\r\n\r\n" + list;
        };
        const auto tries = [&] {
            return std::count_if(station.requests.cbegin(), station.requests.cend(),
                                 [](const auto& r) { return r.path != "/station.pls"; });
        };
        const LogCounter log;
        MediaBackend& e = *m_engine;
        e.setURL(station.url("/station.pls"));
        e.play();
        // Once past its first tries, an outage writes next to nothing, also while the window's
        // watchdog presses play again and again (every 8 s while nothing plays).
        QTRY_VERIFY_WITH_TIMEOUT(tries() > 8, kStartMs);
        const int early = log.lines();
        for (qsizetype restartAt : {12, 16}) {
            QTRY_VERIFY_WITH_TIMEOUT(tries() >= restartAt, kStartMs);
            e.play();
        }
        QTRY_VERIFY_WITH_TIMEOUT(tries() >= 20, kStartMs);
        QVERIFY2(
            early >= 8 && log.lines() - early <= 2,
            qPrintable(QStringLiteral("%1 lines, then %2").arg(early).arg(log.lines() - early)));
        QVERIFY(!shownWhileFetched.isEmpty());
        for (const QString& shown : std::as_const(shownWhileFetched)) {
            QVERIFY2(shown == "Mirror A " + mirrors[0] || shown == "Mirror B " + mirrors[1],
                     qPrintable(shown));
        }
        // The next mirror follows the one before after the same short pause as any try (no
        // more than four tries a second). After a fetch of the playlist, which starts the try,
        // the first mirror is asked late, so only the rounds without one are timed; as the
        // server sees them, each also carries the client's own set-up time.
        const auto& r = station.requests;
        QList<qint64> pauses;
        for (qsizetype i = 2; i < r.size(); ++i) {
            if (r[i].path == "/b.mp3" && r[i - 2].path != "/station.pls") {
                pauses.append(r[i].atMs - r[i - 1].atMs);
            }
        }
        std::sort(pauses.begin(), pauses.end());
        QVERIFY2(pauses.size() > 1 && pauses.first() > 150 && pauses[pauses.size() / 2] > 225 &&
                     pauses.last() < 1000,
                 qPrintable(QDebug::toString(pauses)));
    }
    void volumeAsHeard() {
        // What the sound card would get, as 32-bit floats in a file.
        constexpr qint64 kRate = 44100;
        const QString heard = m_ice.webroot() + QStringLiteral("/heard.f32");
        qputenv("ORVANE_AUDIO_SINK",
                "audioconvert ! audioresample ! audio/x-raw,format=F32LE,channels=1,rate=44100 ! "
                "filesink sync=true buffer-mode=unbuffered location=" +
                    QFile::encodeName(heard));
        m_engine = createGstBackend();
        qunsetenv("ORVANE_AUDIO_SINK");
        const auto samples = [&] { return QFileInfo(heard).size() / qint64(sizeof(float)); };
        // The loudness (RMS) of 0.4 s of what is heard from 0.6 s on: what was on its way to the
        // sink at a change of volume has played by then.
        const auto loudness = [&] {
            const qint64 from = samples() + kRate * 6 / 10;
            const qint64 count = kRate * 4 / 10;
            QFile f(heard);
            if (!QTest::qWaitFor([&] { return samples() >= from + count; }, kStartMs) ||
                !f.open(QIODevice::ReadOnly) || !f.seek(from * qint64(sizeof(float)))) {
                return -1.0;
            }
            const QByteArray raw = f.read(count * qint64(sizeof(float)));
            const auto* x = reinterpret_cast<const float*>(raw.constData());
            return std::sqrt(std::inner_product(x, x + count, x, 0.0) / double(count));
        };
        // The window's start-up writes 25 before any station plays; the first one plays at it.
        MediaBackend& e = *m_engine;
        e.setVolume(25);
        e.setURL(m_ice.url());
        e.play();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        const double at25 = loudness();
        e.setVolume(100);
        const double at100 = loudness();
        e.setVolume(50);
        const double at50 = loudness();
        // On the cubic curve, 50 is an eighth of the amplitude and 25 a sixty-fourth.
        const QString measured = QStringLiteral("RMS %1 at 100, ratios %2 at 50, %3 at 25")
                                     .arg(at100)
                                     .arg(at50 / at100)
                                     .arg(at25 / at100);
        QVERIFY2(at100 > 0.05 && std::abs(at50 / at100 / 0.125 - 1.0) < 0.1 &&
                     std::abs(at25 / at100 / 0.015625 - 1.0) < 0.15,
                 qPrintable(measured));
        qInfo("%s", qPrintable(measured));
    }
    void destroyedWithMessagesInFlight() {
        // Messages posted by GStreamer's threads wait in the event queue for the engine; an engine
        // that goes away first must drop them (and release them: ASan's leak check watches).
        for (int round = 0; round < 4; ++round) {
            auto engine = createGstBackend();
            engine->setURL(m_ice.url());
            if (round < 3) {  // the last one goes while it is still connecting
                QTRY_VERIFY_WITH_TIMEOUT(isPlaying(*engine), kStartMs);
                engine->play();  // a burst of state changes, queued and not yet delivered
            }
            engine.reset();
            QCoreApplication::processEvents();
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listeners().size(), 0, kServerSeesMs);
    }
    void playlistsLeadToTheLiveStream_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("hls");
        QTest::addColumn<QString>("source");  // the stream the playlist leads to
        const QString live = m_ice.url();
        const QString web = m_ice.webroot();
        // Mirrors that are down come first: a closed port, then a mount the server does not know.
        QTest::newRow("PLS with dead mirrors first")
            << m_ice.serve(QStringLiteral("mirrors.pls"),
                           QStringLiteral("[playlist]\nNumberOfEntries=3\nFile1=%1\nFile2=%2\n"
                                          "File3=%3\nTitle3=Test Radio (mirror 3)\n")
                               .arg(closedPortUrl(), m_ice.missingUrl(), live)
                               .toUtf8())
            << false << live;
        // A playlist behind a name that does not say so: only the pipeline can tell.
        QTest::newRow("PLS named like a stream")
            << m_ice.serve(QStringLiteral("listen"), "[playlist]\nFile1=" + live.toUtf8() + '\n')
            << false << live;
        // Both over HTTPS, from a server whose authority the test trusts.
        const QString secure = m_ice.httpsUrlFor(m_ice.mount());
        m_ice.serve(QStringLiteral("secure.pls"), "[playlist]\nFile1=" + secure.toUtf8() + '\n');
        QTest::newRow("PLS and stream over HTTPS")
            << m_ice.httpsUrlFor(QStringLiteral("/secure.pls")) << false << secure;
        // A live AAC stream cut into one-second MPEG-TS segments, served as plain files.
        const QString hls = web + QStringLiteral("/hls");
        QVERIFY(QDir().mkpath(hls) && QFile::setPermissions(hls, QFile::permissions(web)));
        m_ice.spawn(
            QStringLiteral("gst-launch-1.0"),
            QProcess::splitCommand("-q audiotestsrc is-live=true volume=0.2 ! audioconvert ! "
                                   "avenc_aac ! aacparse ! hlssink2 target-duration=1 "
                                   "playlist-length=4 max-files=8 location=" +
                                   hls + "/seg%05d.ts playlist-location=" + hls + "/live.m3u8"));
        QTest::newRow("live HLS") << m_ice.urlFor("/hls/live.m3u8") << true
                                  << m_ice.urlFor("/hls/live.m3u8");
    }
    void playlistsLeadToTheLiveStream() {
        QFETCH(QString, url);
        QFETCH(bool, hls);
        QFETCH(QString, source);
        // Three segments listed, as they are once a fourth is on its way: enough for the demuxer
        // to start at the live edge.
        const QString folder = m_ice.webroot() + QStringLiteral("/hls");
        QTRY_VERIFY_WITH_TIMEOUT(!hls || QDir(folder, QStringLiteral("seg*.ts")).count() > 3,
                                 kHlsReadyMs);
        MediaBackend& e = *m_engine;
        e.setURL(url);
        e.play();
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        QVERIFY(advances(e));
        QCOMPARE(e.URL(), url);
        // The address shown is the stream's, not the playlist's; HLS is its own stream.
        QCOMPARE(e.mediaSourceURL(), source);
        QTRY_COMPARE_WITH_TIMEOUT(
            e.mediaName(),
            hls ? QStringLiteral("live") : QString::fromLatin1(IcecastFixture::kFirstTitle), 5000);
    }
    void badPlaylistsFailAndEveryPlayFetchesAgain() {
        MediaBackend& e = *m_engine;
        const QString name = QStringLiteral("changing.pls");
        const QString url = m_ice.urlFor(u'/' + name);
        const QByteArray good = QStringLiteral("[playlist]\nFile1=%1\n").arg(m_ice.url()).toUtf8();
        // Not there, then binary: each is an error of its own, so each play() fetched anew.
        e.setURL(url);
        QTRY_VERIFY2_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Error: HTTP 404")),
                                  qPrintable(e.status()), kStartMs);
        QCOMPARE(e.mediaSourceURL(), url);
        QVERIFY(!m_ice.serve(name, QByteArray("ID3\x04\0\0\0\0\0\0", 10) + QByteArray(4096, '\xff'))
                     .isEmpty());
        e.play();
        QTRY_COMPARE_WITH_TIMEOUT(e.status(), QStringLiteral("Error: not a playlist (binary data)"),
                                  kStartMs);
        // An empty list may be a station's server in trouble: the engine keeps fetching it, and
        // plays as soon as it names a stream again, without anyone pressing play.
        QVERIFY(!m_ice.serve(name, {}).isEmpty());
        e.play();
        QTRY_VERIFY_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Reconnecting: ")), kStartMs);
        QVERIFY(!e.status().contains(QLatin1String("not a playlist")));
        const int before = m_ice.listenerConnections();
        QVERIFY(!m_ice.serve(name, good).isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kStartMs);
        QCOMPARE(e.mediaSourceURL(), m_ice.url());
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listenerConnections() - before, 1, kServerSeesMs);

        // The stream drops and comes back: the station plays again by itself.
        m_ice.killSource();
        QTRY_VERIFY_WITH_TIMEOUT(e.status().startsWith(QLatin1String("Reconnecting")), kStartMs);
        ICE_OK(m_ice.startSource());
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e), kRecoverMs);
        // The watchdog's reconnect reads the playlist again.
        e.play();
        QCOMPARE(e.status(), QStringLiteral("Connecting"));
        QTRY_VERIFY_WITH_TIMEOUT(isPlaying(e) && e.mediaSourceURL() == m_ice.url(), kStartMs);

        // Stopped or destroyed while the playlist is on its way: nothing follows.
        e.play();
        e.stop();
        QVERIFY(staysStopped(e));
        e.play();
        QCoreApplication::processEvents();
        m_engine.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_ice.listeners().size(), 0, kServerSeesMs);
    }

  private:
    test::TestCertificates m_certs;
    QSslServer m_selfSigned;
    QSslServer m_wrongHost;
    IcecastFixture m_ice;
    std::unique_ptr<MediaBackend> m_engine;
};

QTEST_GUILESS_MAIN(TestGstBackend)
#include "tst_gstbackend.moc"
