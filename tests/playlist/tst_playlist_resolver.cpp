#include <sys/stat.h>

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include "CannedHttpServer.h"
#include "PlaylistResolver.h"

using namespace orvane;
using orvane::test::CannedResponse;
using Kind = PlaylistResult::Kind;

namespace {

constexpr int kWaitMs = 15000;

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

class TestPlaylistResolver : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void webPlaylists();
    void mediaIsNotReadToTheEnd();
    void nesting();
    void loopsAndDepth();
    void sizeAndTimeCaps();
    void cancellation();
    void localFiles();

  private:
    // One resolve to its end; an empty result (Kind::Error, no reason) if none came.
    PlaylistResult run(const QUrl& url, bool known = false) {
        QSignalSpy spy(m_resolver.get(), &PlaylistResolver::finished);
        known ? m_resolver->resolveKnownPlaylist(url) : m_resolver->resolve(url);
        return spy.wait(kWaitMs) && spy.size() == 1 ? spy[0][0].value<PlaylistResult>()
                                                    : PlaylistResult();
    }
    // "url|title" per stream.
    QStringList streams(const QUrl& url) {
        const PlaylistResult r = run(url);
        QStringList out;
        for (const PlaylistEntry& e : r.streams) {
            out.append((e.url.isLocalFile() ? e.url.toLocalFile() : e.url.toString()) + '|' +
                       e.title);
        }
        return r.kind == Kind::Streams ? out : QStringList({"error: " + r.error});
    }
    QString error(const QUrl& url, bool known = false) {
        const PlaylistResult r = run(url, known);
        return r.kind == Kind::Error ? r.error : QStringLiteral("no error");
    }
    QUrl url(const QString& path) const { return m_server->url(path); }
    QString u(const QString& path) const { return url(path).toString(); }
    void set(const QString& path, const CannedResponse& r) { m_server->set(path, r); }
    void redirect(const QString& from, const QString& to) {
        set(from, {.status = 302, .location = to.toUtf8()});
    }

    std::unique_ptr<test::CannedHttpServer> m_server;
    std::unique_ptr<PlaylistResolver> m_resolver;
};

void TestPlaylistResolver::init() {
    m_server = std::make_unique<test::CannedHttpServer>();
    QVERIFY(m_server->isListening());
    PlaylistResolver::Limits limits;
    limits.timeoutMs = 2000;  // a failing test should fail well before CTest's own timeout
    m_resolver = std::make_unique<PlaylistResolver>(limits);
}

void TestPlaylistResolver::cleanup() {
    m_resolver.reset();
    m_server.reset();
}

void TestPlaylistResolver::webPlaylists() {
    // Every resolve downloads afresh: the watchdog's next play must see a changed playlist.
    set("/station.pls", text("[playlist]\nFile1=" + u("/live").toUtf8() +
                                 "\nTitle1=Main\nFile2=/backup\nNumberOfEntries=9\n",
                             "audio/x-scpls"));
    for (int i = 1; i <= 2; ++i) {
        QCOMPARE(streams(url("/station.pls")),
                 QStringList({u("/live") + "|Main", u("/backup") + "|"}));
        QCOMPARE(m_server->requests("/station.pls"), i);
    }
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

    redirect("/circle.pls", "/round.pls");
    redirect("/round.pls", "/circle.pls");
    redirect("/ftp.pls", "ftp://127.0.0.1/x.pls");
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const QUrl refused(QStringLiteral("http://127.0.0.1:%1/x.pls").arg(closed.serverPort()));
    closed.close();
    QCOMPARE(error(url("/missing.pls")), QStringLiteral("HTTP 404 Not Found"));
    QCOMPARE(error(url("/circle.pls")), QStringLiteral("too many redirects"));
    QCOMPARE(error(url("/ftp.pls")), QStringLiteral("redirected to an unsupported URL"));
    QCOMPARE(error(refused), QStringLiteral("Connection refused"));
    QCOMPARE(error(QUrl(QStringLiteral("no scheme"))), QStringLiteral("invalid URL"));
}

void TestPlaylistResolver::mediaIsNotReadToTheEnd() {
    // A live stream behind a URL that claims nothing is told by its type or its first bytes,
    // whatever type the server gives, and the connection closes at once.
    set("/typed", {.contentType = "audio/mpeg", .body = mp3Frames(), .endless = true});
    for (const char* path : {"/lying", "/live.pls"}) {
        set(path, {.contentType = "audio/x-scpls", .body = mp3Frames(), .endless = true});
    }
    for (const char* path : {"/typed", "/lying"}) {
        const PlaylistResult r = run(url(path));
        QCOMPARE(r.kind, Kind::PlayAsIs);
        QCOMPARE(r.url, url(path));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, kWaitMs);
    }
    // When the name or the caller says playlist, media is an error, so the engine cannot
    // bounce between playing and resolving.
    QCOMPARE(error(url("/live.pls")), QStringLiteral("not a playlist (binary data)"));
    QCOMPARE(error(url("/typed"), true), QStringLiteral("not a playlist (binary data)"));
    set("/page", text("<!doctype html><p>Listen!", "text/html"));
    QCOMPARE(error(url("/page"), true), QStringLiteral("not a playlist"));
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, kWaitMs);
    // Without a name or a type, a playlist's signature is enough.
    set("/listen", text("[playlist]\nFile1=http://h/a\n", "text/plain"));
    QCOMPARE(streams(url("/listen")), QStringList({"http://h/a|"}));
}

void TestPlaylistResolver::nesting() {
    // Nested playlists of every format expand in place; a dead one is skipped; the outer
    // playlist's title is the fallback; a stream named twice is tried once; HLS stays whole;
    // an ASX <entryref> is a playlist whatever its name.
    set("/top.pls", text("[playlist]\nFile1=/a.m3u\nTitle1=Alpha\nFile2=/dead.pls\nFile3=/direct\n"
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

void TestPlaylistResolver::loopsAndDepth() {
    set("/c1.m3u", text("/c2.m3u\n"));
    set("/c2.m3u", text("/c1.m3u\n"));
    set("/self.pls", text("[playlist]\nFile1=/self.pls\n"));
    set("/d1.m3u", text("/alias.m3u\n"));  // a loop hidden behind a redirect
    redirect("/alias.m3u", u("/d1.m3u"));
    for (const char* path : {"/c1.m3u", "/self.pls", "/d1.m3u"}) {
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
    QCOMPARE(m_server->requests("/n6.m3u"), 0);
    for (int n = 1; n <= 5; ++n) {
        set(QStringLiteral("/n%1.m3u").arg(n),
            text(QStringLiteral("/n%1.m3u").arg(n + 1).toUtf8()));
    }
    QCOMPARE(error(url("/n1.m3u")), QStringLiteral("playlists nested more than 5 levels deep"));
}

void TestPlaylistResolver::sizeAndTimeCaps() {
    // One byte over 1 MiB of good playlist, announced or not, and exactly the cap.
    QByteArray big = QByteArray("http://h/stream\n").repeated(kMaxPlaylistBytes / 16 + 1);
    big.truncate(kMaxPlaylistBytes);
    set("/exact.m3u", text(big));
    big += '\n';
    set("/big.m3u", text(big));
    set("/unannounced.m3u", {.contentType = "audio/x-mpegurl", .body = big, .sendLength = false});
    QCOMPARE(error(url("/big.m3u")), QStringLiteral("playlist is larger than 1 MiB"));
    QCOMPARE(error(url("/unannounced.m3u")), QStringLiteral("playlist is larger than 1 MiB"));
    QCOMPARE(streams(url("/exact.m3u")), QStringList({"http://h/stream|"}));

    // The time cap runs from the request: a server that never answers and one that trickles
    // forever both end in time; a slow but finished answer still counts.
    PlaylistResolver::Limits limits;
    limits.timeoutMs = 400;
    m_resolver = std::make_unique<PlaylistResolver>(limits);
    set("/silent.pls", {.silent = true});
    set("/trickle.m3u", {.contentType = "audio/x-mpegurl", .body = "#\n", .endless = true});
    set("/slow.m3u", {.contentType = "audio/x-mpegurl", .body = "http://h/slow\n", .delayMs = 100});
    for (const char* path : {"/silent.pls", "/trickle.m3u"}) {
        QCOMPARE(error(url(path)), QStringLiteral("playlist download timed out after 0.4 s"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, kWaitMs);
    }
    QCOMPARE(streams(url("/slow.m3u")), QStringList({"http://h/slow|"}));
}

void TestPlaylistResolver::cancellation() {
    set("/hang.pls", {.silent = true});
    set("/ok.m3u", text("http://h/ok\n"));
    QSignalSpy spy(m_resolver.get(), &PlaylistResolver::finished);

    // Cancelled mid-download: the connection closes. Cancelled after settling but before
    // delivery, or replaced by a newer resolve: nothing. The newer result arriving first and
    // alone shows that no stale one was queued before it.
    m_resolver->resolve(url("/hang.pls"));
    QVERIFY(m_resolver->isBusy());
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requests("/hang.pls"), 1, kWaitMs);
    m_resolver->cancel();
    QVERIFY(!m_resolver->isBusy());
    QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, kWaitMs);
    m_resolver->resolve(QUrl(QStringLiteral("not a url")));
    m_resolver->cancel();
    m_resolver->resolve(url("/hang.pls"));
    m_resolver->resolve(url("/ok.m3u"));
    QVERIFY(spy.wait(kWaitMs));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy[0][0].value<PlaylistResult>().url, url("/ok.m3u"));

    // Destroyed mid-download, over HTTP and while a worker thread reads a file.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("a.m3u"), "http://h/a\n"));
    for (const QUrl& target : {url("/hang.pls"), QUrl::fromLocalFile(dir.filePath("a.m3u"))}) {
        const int before = m_server->requests("/hang.pls");
        auto doomed = std::make_unique<PlaylistResolver>();
        QSignalSpy doomedSpy(doomed.get(), &PlaylistResolver::finished);
        doomed->resolve(target);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->requests("/hang.pls"),
                                  before + (target.isLocalFile() ? 0 : 1), kWaitMs);
        doomed.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, kWaitMs);
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

void TestPlaylistResolver::localFiles() {
    // Relative, Windows-style and absolute paths; a nested local playlist and a nested web one;
    // given as a file:// URL, as a bare path in a URL, and as the user wrote it.
    QTemporaryDir dir;
    const QString root = dir.path();
    QVERIFY(QDir(root).mkpath("sub dir"));
    QVERIFY(writeFile(root + "/list one.m3u",
                      "#EXTM3U\r\nstream.mp3\r\nsub dir\\two.ogg\r\n"
                      "/abs/x.mp3\r\nsub dir/nested.pls\r\n" +
                          u("/a.m3u").toUtf8() + "\r\n"));
    QVERIFY(writeFile(root + "/sub dir/nested.pls", "[playlist]\nFile1=../three.mp3\n"));
    set("/a.m3u", text("/s1\n"));
    const QStringList expected = {root + "/stream.mp3|", root + "/sub dir/two.ogg|", "/abs/x.mp3|",
                                  root + "/three.mp3|", u("/s1") + "|"};
    const QString list = root + "/list one.m3u";
    for (const QUrl& target : {QUrl::fromLocalFile(list), QUrl(list), toMediaUrl(list)}) {
        QCOMPARE(streams(target), expected);
    }
    // A web playlist cannot reach into local files.
    set("/sneaky.m3u", text(QUrl::fromLocalFile(list).toEncoded() + '\n'));
    QCOMPARE(error(url("/sneaky.m3u")), QStringLiteral("playlist has no playable entries"));

    // Missing, a folder, a FIFO (reading one would block for good), too big, binary.
    QVERIFY(QDir(root).mkpath("folder.pls"));
    QVERIFY(::mkfifo(QFile::encodeName(root + "/fifo.m3u").constData(), 0600) == 0);
    QVERIFY(writeFile(root + "/big.m3u", QByteArray(kMaxPlaylistBytes + 1, '#')));
    QVERIFY(writeFile(root + "/song.pls", mp3Frames()));
    const auto local = [&](const char* name) { return QUrl::fromLocalFile(root + name); };
    QCOMPARE(error(local("/missing.pls")), "no such file: " + root + "/missing.pls");
    QCOMPARE(error(local("/folder.pls")), "not a regular file: " + root + "/folder.pls");
    QCOMPARE(error(local("/fifo.m3u")), "not a regular file: " + root + "/fifo.m3u");
    QCOMPARE(error(local("/big.m3u")), QStringLiteral("playlist is larger than 1 MiB"));
    QCOMPARE(error(local("/song.pls")), QStringLiteral("not a playlist (binary data)"));
}

QTEST_GUILESS_MAIN(TestPlaylistResolver)
#include "tst_playlist_resolver.moc"
