// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QSemaphore>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>

#include "playlists/Playlist.h"
#include "playlists/PlaylistResolver.h"
#include "support/IcecastFixture.h"
#include "support/TestCertificates.h"
#include "support/UiStallMonitor.h"

using namespace orvane;
using Kind = PlaylistResult::Kind;

namespace {

// What the server answers for one path; a test names only what it needs.
struct CannedResponse {
    QByteArray contentType{}, body{};  // no Content-Type header when empty
    int status = 200;
    QByteArray location{}, encoding{};     // Location, Content-Encoding
    bool sendLength = true;                // without it, the body ends with the connection
    bool silent = false, endless = false;  // never answer; repeat the body like a live stream
    qint64 announcedLength = -1;           // a Content-Length other than the body's
};

// HTTP on 127.0.0.1 in the test's event loop; unknown paths are 404, every connection closes.
// Given a certificate, HTTPS: a connection counts once its handshake is through.
struct CannedHttpServer : QObject {
    std::unique_ptr<QTcpServer> server;
    QHash<QString, CannedResponse> canned;
    QHash<QString, int> requests;
    int open = 0;

    explicit CannedHttpServer(std::optional<QSslConfiguration> tls = std::nullopt) {
        if (tls) {
            auto* ssl = new QSslServer;
            ssl->setSslConfiguration(*tls);
            server.reset(ssl);
        } else {
            server = std::make_unique<QTcpServer>();
        }
        server->listen(QHostAddress::LocalHost, 0);
        connect(server.get(), &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (QTcpSocket* socket = server->nextPendingConnection()) {
                ++open;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    --open;
                    socket->deleteLater();
                });
            }
        });
    }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("%1://127.0.0.1:%2%3")
                        .arg(qobject_cast<QSslServer*>(server.get()) ? "https" : "http")
                        .arg(server->serverPort())
                        .arg(path));
    }

    void read(QTcpSocket* socket) {
        if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n")) {
            return;
        }
        const QByteArray request = socket->readAll();
        const QString path = QString::fromLatin1(request.split(' ').value(1)).section('?', 0, 0);
        ++requests[path];
        const CannedResponse r = canned.value(path, {.status = 404});
        if (!r.silent) {
            answer(socket, r);
        }
    }

    static void answer(QTcpSocket* socket, const CannedResponse& r) {
        const auto header = [](const char* name, const QByteArray& value) {
            return value.isEmpty() ? QByteArray() : name + (": " + value + "\r\n");
        };
        socket->write("HTTP/1.1 " + QByteArray::number(r.status) +
                      (r.status == 404 ? " Not Found" : " Whatever") + "\r\nConnection: close\r\n" +
                      header("Content-Type", r.contentType) + header("Location", r.location) +
                      header("Content-Encoding", r.encoding) +
                      header("Content-Length",
                             r.announcedLength >= 0       ? QByteArray::number(r.announcedLength)
                             : r.sendLength && !r.endless ? QByteArray::number(r.body.size())
                                                          : QByteArray()) +
                      "\r\n");
        if (!r.endless) {
            socket->write(r.body);
            socket->disconnectFromHost();
            return;
        }
        auto* timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, chunk = r.body] {
            if (socket->bytesToWrite() < 64 * 1024) {
                socket->write(chunk);
            }
        });
        timer->start(5);
    }
};

constexpr int kWaitMs = 15000;  // a loaded machine under ASan; a passing test never waits it out
constexpr int kTestTimeoutMs = 2000;  // the resolver's own cap, well within CTest's
constexpr int kHostileTimeoutMs = 1000;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr qint64 kQuickMs = 5000;
constexpr qint64 kMaxStallMs = kSanitized ? 1000 : 250;  // the test server shares the loop
// 31 playlists of 1 MiB side by side plus the server's copies; ASan's quarantine is not measured.
constexpr qint64 kMaxGrowthKiB = 160 * 1024;

// Peak resident size in KiB since the last resetPeakRss(); -1 where the kernel does not say.
qint64 peakRssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    const QByteArray text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
    const qsizetype at = text.indexOf("VmHWM:");
    return at < 0 ? -1 : text.mid(at + 6, 20).simplified().split(' ').value(0).toLongLong();
}

bool resetPeakRss() {
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

CannedResponse text(const QByteArray& body, const QByteArray& type = "audio/x-mpegurl") {
    return {.contentType = type, .body = body};
}

QByteArray mp3Frames() {
    return (QByteArray("\xFF\xFB\x90\x64", 4) + QByteArray(413, '\x55')).repeated(4);
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

}  // namespace

class TestResolver : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        QVERIFY2(m_certs.make(), qPrintable(m_certs.error()));
        qputenv("ORVANE_TEST_CA_FILE", QFile::encodeName(m_certs.caFile()));
    }
    void init() {
        m_server = std::make_unique<CannedHttpServer>();
        QVERIFY(m_server->server->isListening());
        PlaylistResolver::Limits limits;
        limits.timeoutMs = kTestTimeoutMs;
        m_resolver = std::make_unique<PlaylistResolver>(limits);
    }
    void cleanup() {
        m_resolver.reset();
        m_server.reset();
    }
    void webPlaylists() {
        set("/station.pls", text("[playlist]\nFile1=/live\n", "audio/x-scpls"));
        QCOMPARE(streams(url("/station.pls")), QStringList({u("/live") + "|"}));
        QVERIFY(!m_resolver->isBusy());
        // After a redirect, relative entries resolve against where the playlist really is.
        redirect("/old.m3u", u("/lists/new.m3u"));
        set("/lists/new.m3u", text("#EXTINF:-1,Rel\nstream.aac\n"));
        QCOMPARE(streams(url("/old.m3u")), QStringList({u("/lists/stream.aac") + "|Rel"}));
        // HLS goes to playbin untouched.
        set("/hls.m3u8", text("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlow.m3u8\n"));
        const PlaylistResult hls = run(url("/hls.m3u8"));
        QCOMPARE(hls.kind, Kind::PlayAsIs);
        QCOMPARE(hls.url, url("/hls.m3u8"));

        // Failures in the words people know from other players, and a kind beside the text.
        redirect("/ftp.pls", "ftp://127.0.0.1/x.pls");
        const QUrl refused(
            QStringLiteral("http://127.0.0.1:%1/x.pls").arg(test::IcecastFixture::pickFreePort()));
        const QList<std::tuple<QUrl, QString, PlaylistError>> cases = {
            {url("/missing.pls"), "HTTP 404 Not Found", PlaylistError::Fetch},
            {url("/ftp.pls"), "redirected to an unsupported URL", PlaylistError::Fetch},
            {refused, QStringLiteral("Connection refused (127.0.0.1:%1)").arg(refused.port()),
             PlaylistError::Fetch},
            {QUrl(QStringLiteral("no scheme")), "invalid URL", PlaylistError::InvalidUrl},
        };
        for (const auto& [target, text, kind] : cases) {
            const PlaylistResult r = run(target);
            QCOMPARE(r.error, text);
            QCOMPARE(r.errorKind, kind);
        }

        // HTTPS signed by the test's own authority is trusted; a certificate that signed itself
        // or names another host is refused, and the result says why.
        using S = test::TestCertificates::Server;
        using P = CertificateProblem;
        for (const auto& [server, problem] : {std::pair{S::Trusted, P::None},
                                              {S::SelfSigned, P::SelfSigned},
                                              {S::WrongHost, P::WrongHost}}) {
            CannedHttpServer https(m_certs.serverConfiguration(server));
            https.canned["/secure.pls"] = text("[playlist]\nFile1=/live\n", "audio/x-scpls");
            const PlaylistResult r = run(https.url("/secure.pls"));
            QCOMPARE(r.certificate, problem);
            if (problem == P::None) {
                QCOMPARE(r.streams.value(0).url, https.url("/live"));
            } else {
                QCOMPARE(r.error, QStringLiteral("Secure connection failed (127.0.0.1)"));
                QCOMPARE(r.errorKind, PlaylistError::Certificate);
            }
        }
    }
    void mediaIsNotReadToTheEnd() {
        // Media is told by its type or first bytes, whatever the type says; the connection closes.
        set("/typed", {.contentType = "audio/mpeg", .body = mp3Frames(), .endless = true});
        for (const char* path : {"/lying", "/live.pls"}) {
            set(path, {.contentType = "audio/x-scpls", .body = mp3Frames(), .endless = true});
        }
        for (const char* path : {"/typed", "/lying"}) {
            const PlaylistResult r = run(url(path));
            QCOMPARE(r.kind, Kind::PlayAsIs);
            QCOMPARE(r.url, url(path));
            QTRY_COMPARE_WITH_TIMEOUT(m_server->open, 0, kWaitMs);
        }
        // Where the name or the caller says playlist, media is an error (no ping-pong with the
        // engine), of a kind that tells the engine to keep its own reason.
        set("/page", text("<!doctype html><p>Listen!", "text/html"));
        for (const auto& [path, known, text] :
             {std::tuple{"/live.pls", false, "not a playlist (binary data)"},
              {"/typed", true, "not a playlist (binary data)"},
              {"/page", true, "not a playlist"}}) {
            const PlaylistResult r = run(url(path), known);
            QCOMPARE(r.error, QString::fromLatin1(text));
            QCOMPARE(r.errorKind, PlaylistError::NotPlaylist);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_server->open, 0, kWaitMs);
        // Without a name or a type, a playlist's signature is enough.
        set("/listen", text("[playlist]\nFile1=http://h/a\n", "text/plain"));
        QCOMPARE(streams(url("/listen")), QStringList({"http://h/a|"}));
    }
    void nesting() {
        // Nested lists expand in place, dead ones are skipped, the outer title is the fallback, a
        // stream named twice is tried once, HLS stays whole, an <entryref> is a playlist.
        set("/top.pls",
            text("[playlist]\nFile1=/a.m3u\nTitle1=Alpha\nFile2=/dead.pls\nFile3=/direct\n"
                 "File4=/b.xspf\nFile5=/hls.m3u8\nFile6=/meta.asx\n",
                 "audio/x-scpls"));
        set("/a.m3u", text("/s1\n/s2\n"));
        set("/b.xspf", text("<playlist><trackList><track><location>/s1</location></track><track>"
                            "<location>/s3</location><title>Three</title></track></trackList>",
                            "application/xspf+xml"));
        set("/hls.m3u8", text("#EXTM3U\n#EXT-X-TARGETDURATION:6\n#EXTINF:6,\nseg.aac\n"));
        set("/meta.asx", text("<ASX><ENTRYREF HREF=\"/more\"/></ASX>", "video/x-ms-asf"));
        set("/more", text("<asx><entry><title>Nine</title><ref href=\"/s9\"/></entry>"));
        QCOMPARE(streams(url("/top.pls")),
                 QStringList({u("/s1") + "|Alpha", u("/s2") + "|Alpha", u("/direct") + "|",
                              u("/s3") + "|Three", u("/hls.m3u8") + "|", u("/s9") + "|Nine"}));
        // Nothing left: the first failure is the reason.
        set("/all-dead.m3u", text("/dead1.pls\n/dead2.pls\n"));
        QCOMPARE(error(url("/all-dead.m3u")), QStringLiteral("HTTP 404 Not Found"));
    }
    void loopsAndDepth() {
        set("/c1.m3u", text("/c2.m3u\n"));
        set("/c2.m3u", text("/c1.m3u\n"));
        set("/d1.m3u", text("/alias.m3u\n"));  // a loop hidden behind a redirect
        redirect("/alias.m3u", u("/d1.m3u"));
        for (const char* path : {"/c1.m3u", "/d1.m3u"}) {
            QCOMPARE(error(url(path)), QStringLiteral("playlists refer to each other in a loop"));
        }
        // n1 .. n5 are followed, n6 is not: the first level counts as one.
        for (int n = 1; n <= 6; ++n) {
            set(QStringLiteral("/n%1.m3u").arg(n),
                text(QStringLiteral("/n%1.m3u\n/tail%1\n").arg(n + 1).toUtf8()));
        }
        QCOMPARE(streams(url("/n1.m3u")),
                 QStringList({u("/tail6") + "|", u("/tail5") + "|", u("/tail4") + "|",
                              u("/tail3") + "|", u("/tail2") + "|"}));
        QCOMPARE(m_server->requests.value("/n6.m3u"), 0);
        for (int n = 1; n <= 5; ++n) {
            set(QStringLiteral("/n%1.m3u").arg(n),
                text(QStringLiteral("/n%1.m3u").arg(n + 1).toUtf8()));
        }
        QCOMPARE(error(url("/n1.m3u")), QStringLiteral("playlists nested more than 5 levels deep"));
    }
    void sizeCap() {
        // One byte over 1 MiB, announced, unannounced, or only announced (refused from the
        // headers); then exactly 1 MiB.
        QByteArray exact = QByteArray("http://h/stream\n").repeated(65536);
        QCOMPARE(exact.size(), 1048576);
        set("/exact.m3u", text(exact));
        const QByteArray big = exact + '\n';
        set("/big.m3u", text(big));
        set("/unannounced.m3u",
            {.contentType = "audio/x-mpegurl", .body = big, .sendLength = false});
        set("/announced.m3u", {.contentType = "audio/x-mpegurl",
                               .body = "http://h/stream\n",
                               .announcedLength = 1048577});
        for (const char* path : {"/big.m3u", "/unannounced.m3u", "/announced.m3u"}) {
            const PlaylistResult r = run(url(path));
            QCOMPARE(r.error, QStringLiteral("playlist is larger than 1 MiB"));
            QCOMPARE(r.errorKind, PlaylistError::TooLarge);
        }
        QCOMPARE(streams(url("/exact.m3u")), QStringList({"http://h/stream|"}));
    }
    void hostileServers() {
        // Each ends in a clear error or a list, quickly, with the event loop running and memory
        // bounded by the downloads. The bomb: 64 MiB of zeros as HTTP's "deflate" (a bare zlib
        // stream), about 64 KiB on the wire.
        static const QByteArray bomb = qCompress(QByteArray(64 << 20, '\0'), 9).mid(4);
        const QByteArray mib(1048576 - 200, '&');
        set("/endless.m3u",
            {.contentType = "audio/x-mpegurl", .body = QByteArray(65536, '#'), .endless = true});
        set("/drip.m3u", {.contentType = "audio/x-mpegurl", .body = "#", .endless = true});
        set("/silent.pls", {.silent = true});
        redirect("/loop.pls", "/loop.pls");
        set("/self.pls", text("[playlist]\nFile1=/self.pls\n", "audio/x-scpls"));
        set("/bomb.m3u", {.contentType = "audio/x-mpegurl", .body = bomb, .encoding = "deflate"});

        QByteArray list = "[playlist]\n";
        for (int i = 1; i <= 31; ++i) {
            const QByteArray n = QByteArray::number(i);
            list += "File" + n + "=/amp" + n + ".asx\n";
            set("/amp" + n + ".asx",
                text("<asx><entry><ref href=\"http://h/" + n + "\"/><title>" + mib + "</title>",
                     "video/x-ms-asf"));
        }
        set("/31.pls", text(list, "audio/x-scpls"));
        // The 31 lists come six at a time (Qt's connections per host), and a download's time counts
        // from its request: on a loaded machine the last ones would run out of the hostile cap.
        for (const auto& [path, expected, timeoutMs] : {
                 std::tuple{"/endless.m3u", "playlist is larger than 1 MiB", kHostileTimeoutMs},
                 {"/drip.m3u", "Timed out (127.0.0.1)", kHostileTimeoutMs},
                 {"/silent.pls", "Timed out (127.0.0.1)", kHostileTimeoutMs},
                 {"/loop.pls", "too many redirects", kHostileTimeoutMs},
                 {"/self.pls", "playlists refer to each other in a loop", kHostileTimeoutMs},
                 {"/bomb.m3u", "Decompression failed: the playlist unpacks to more than 1 MiB",
                  kHostileTimeoutMs},
                 {"/31.pls", "31 streams", kWaitMs},
             }) {
            PlaylistResolver::Limits limits;
            limits.timeoutMs = timeoutMs;
            m_resolver = std::make_unique<PlaylistResolver>(limits);
            const bool measured = !kSanitized && resetPeakRss();
            const qint64 before = peakRssKiB();
            QElapsedTimer clock;
            clock.start();
            const test::UiStallMonitor monitor;
            const PlaylistResult r = run(url(path));
            const qint64 stall = monitor.longestGapMs();
            QCOMPARE(r.kind == Kind::Streams ? QStringLiteral("%1 streams").arg(r.streams.size())
                                             : r.error,
                     QString::fromLatin1(expected));
            QVERIFY2(clock.elapsed() < kQuickMs, path);
            QVERIFY2(stall < kMaxStallMs, path);
            QVERIFY2(!measured || peakRssKiB() - before < kMaxGrowthKiB, path);
            // Given up means hung up: nothing of the resolve keeps a connection open.
            QTRY_VERIFY2_WITH_TIMEOUT(m_server->open == 0, path, kWaitMs);
        }
    }
    void cancellation() {
        set("/hang.pls", {.silent = true});
        set("/ok.m3u", text("http://h/ok\n"));
        QSignalSpy spy(m_resolver.get(), &PlaylistResolver::finished);

        // Cancelled mid-download: the connection closes. Cancelled before delivery, or replaced:
        // nothing; the newer result comes first and alone.
        m_resolver->resolve(url("/hang.pls"));
        QVERIFY(m_resolver->isBusy());
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests.value("/hang.pls"), 1, kWaitMs);
        m_resolver->cancel();
        QVERIFY(!m_resolver->isBusy());
        QTRY_COMPARE_WITH_TIMEOUT(m_server->open, 0, kWaitMs);
        m_resolver->resolve(QUrl(QStringLiteral("not a url")));
        m_resolver->cancel();
        m_resolver->resolve(url("/hang.pls"));
        m_resolver->resolve(url("/ok.m3u"));
        QVERIFY(spy.wait(kWaitMs));
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy[0][0].value<PlaylistResult>().url, url("/ok.m3u"));
        // Cancelled once the body is in and waits for a pool thread to parse it: nothing either.
        QThreadPool* pool = QThreadPool::globalInstance();
        QSemaphore started;
        QSemaphore hold;
        for (int i = 0; i < pool->maxThreadCount(); ++i) {
            pool->start([&] {
                started.release();
                hold.acquire();
            });
        }
        started.acquire(pool->maxThreadCount());
        set("/parsed.pls", text("[playlist]\nFile1=http://h/a\n", "audio/x-scpls"));
        m_resolver->resolve(url("/parsed.pls"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests.value("/parsed.pls"), 1, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->open, 0, kWaitMs);
        QCoreApplication::processEvents();  // let the reply see the end of the body
        m_resolver->cancel();
        hold.release(pool->maxThreadCount());
        m_resolver->resolve(url("/ok.m3u"));
        QVERIFY(spy.wait(kWaitMs));
        QCOMPARE(spy.size(), 2);
        QCOMPARE(spy[1][0].value<PlaylistResult>().url, url("/ok.m3u"));

        // Destroyed mid-download, over HTTP and while a worker thread reads a file.
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("a.m3u"), "http://h/a\n"));
        for (const QUrl& target : {url("/hang.pls"), QUrl::fromLocalFile(dir.filePath("a.m3u"))}) {
            const int before = m_server->requests.value("/hang.pls");
            auto doomed = std::make_unique<PlaylistResolver>();
            QSignalSpy doomedSpy(doomed.get(), &PlaylistResolver::finished);
            doomed->resolve(target);
            QTRY_COMPARE_WITH_TIMEOUT(m_server->requests.value("/hang.pls"),
                                      before + (target.isLocalFile() ? 0 : 1), kWaitMs);
            doomed.reset();
            QTRY_COMPARE_WITH_TIMEOUT(m_server->open, 0, kWaitMs);
            QCOMPARE(doomedSpy.size(), 0);
        }

        // The receiver may start the next resolve from its slot, and delete the resolver there.
        QPointer<PlaylistResolver> chained = new PlaylistResolver;
        QStringList seen;
        connect(chained, &PlaylistResolver::finished, this, [&](const PlaylistResult& result) {
            seen.append(result.url.path());
            seen.size() == 1 ? chained->resolve(url("/ok.m3u")) : chained->deleteLater();
        });
        chained->resolve(QUrl(QStringLiteral("not a url")));
        QTRY_VERIFY_WITH_TIMEOUT(chained.isNull(), kWaitMs);
        QCOMPARE(seen, QStringList({"not a url", "/ok.m3u"}));
    }
    void localFiles() {
        // Relative, nested local and nested web entries; as a file URL, bare path, or typed.
        QTemporaryDir dir;
        const QString root = dir.path();
        QVERIFY(QDir(root).mkpath("sub dir"));
        QVERIFY(writeFile(root + "/list one.m3u",
                          "stream.mp3\r\nsub dir/nested.pls\r\n" + u("/a.m3u").toUtf8() + "\r\n"));
        QVERIFY(writeFile(root + "/sub dir/nested.pls", "[playlist]\nFile1=../three.mp3\n"));
        set("/a.m3u", text("/s1\n"));
        const QStringList expected = {root + "/stream.mp3|", root + "/three.mp3|", u("/s1") + "|"};
        const QString list = root + "/list one.m3u";
        for (const QUrl& target : {QUrl::fromLocalFile(list), QUrl(list), toMediaUrl(list)}) {
            QCOMPARE(streams(target), expected);
        }

        // Missing, a folder, a FIFO (reading one would block for good), too big, binary.
        QVERIFY(QDir(root).mkpath("folder.pls"));
        QVERIFY(::mkfifo(QFile::encodeName(root + "/fifo.m3u").constData(), 0600) == 0);
        QVERIFY(writeFile(root + "/big.m3u", QByteArray(1048577, '#')));
        QVERIFY(writeFile(root + "/song.pls", mp3Frames()));
        const auto local = [&](const char* name) { return QUrl::fromLocalFile(root + name); };
        QCOMPARE(error(local("/missing.pls")), "no such file: " + root + "/missing.pls");
        QCOMPARE(error(local("/folder.pls")), "not a regular file: " + root + "/folder.pls");
        QCOMPARE(error(local("/fifo.m3u")), "not a regular file: " + root + "/fifo.m3u");
        QCOMPARE(error(local("/big.m3u")), QStringLiteral("playlist is larger than 1 MiB"));
        QCOMPARE(error(local("/song.pls")), QStringLiteral("not a playlist (binary data)"));
    }

  private:
    // One resolve to its end; an empty result (Kind::Error, no reason) if none came.
    PlaylistResult run(const QUrl& url, bool known = false) {
        QSignalSpy spy(m_resolver.get(), &PlaylistResolver::finished);
        known ? m_resolver->resolveKnownPlaylist(url) : m_resolver->resolve(url);
        return spy.wait(kWaitMs) && spy.size() == 1 ? spy[0][0].value<PlaylistResult>()
                                                    : PlaylistResult();
    }
    // "url|title" per stream, local files as paths.
    QStringList streams(const QUrl& url) {
        const PlaylistResult r = run(url);
        QStringList out = {"error: " + r.error};
        for (const PlaylistEntry& e : r.streams) {
            out.append((e.url.isLocalFile() ? e.url.toLocalFile() : e.url.toString()) + '|' +
                       e.title);
        }
        return r.kind == Kind::Streams ? out.mid(1) : out.first(1);
    }

    QString error(const QUrl& url, bool known = false) {
        const PlaylistResult r = run(url, known);
        return r.kind == Kind::Error ? r.error : QStringLiteral("no error");
    }
    QUrl url(const QString& path) const { return m_server->url(path); }
    QString u(const QString& path) const { return url(path).toString(); }
    void set(const QString& path, const CannedResponse& r) { m_server->canned[path] = r; }
    void redirect(const QString& from, const QString& to) {
        set(from, {.status = 302, .location = to.toUtf8()});
    }

    test::TestCertificates m_certs;
    std::unique_ptr<CannedHttpServer> m_server;
    std::unique_ptr<PlaylistResolver> m_resolver;
};

QTEST_GUILESS_MAIN(TestResolver)
#include "tst_resolver.moc"
