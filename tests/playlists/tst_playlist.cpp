// SPDX-License-Identifier: GPL-3.0-or-later
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "playlists/Playlist.h"
#include "playlists/PlaylistResolver.h"

using namespace orvane;
using F = PlaylistFormat;
using Kind = PlaylistResult::Kind;

namespace {

// What the server answers for one path. Every member has a default, so that a test can name
// just the ones it needs: {.status = 302, .location = "/x"}.
struct CannedResponse {
    QByteArray contentType{};  // no Content-Type header when empty
    QByteArray body{};
    int status = 200;
    QByteArray location{};   // a redirect's target
    bool sendLength = true;  // without Content-Length, the body ends when the connection does
    int delayMs = 0;         // before the status line
    bool silent = false;     // read the request, then never answer
    bool endless = false;    // repeat the body until the client goes away, like a live stream
};

// HTTP on 127.0.0.1 with a canned response per path (unknown paths: 404), in the test's own
// event loop. Every connection closes after its answer.
class CannedHttpServer : public QObject {
  public:
    CannedHttpServer() {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                ++m_open;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    --m_open;
                    socket->deleteLater();
                });
            }
        });
    }

    bool isListening() const { return m_server.isListening(); }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    void set(const QString& path, const CannedResponse& response) { m_canned[path] = response; }
    int requests(const QString& path) const { return m_requests.value(path); }
    int openConnections() const { return m_open; }

  private:
    void read(QTcpSocket* socket) {
        // The request waits in the socket's buffer until its header block is complete.
        if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n")) {
            return;
        }
        const QByteArray request = socket->readAll();
        const QString path = QString::fromLatin1(request.split(' ').value(1)).section('?', 0, 0);
        ++m_requests[path];
        const CannedResponse r = m_canned.value(path, {.status = 404});
        if (!r.silent) {
            QTimer::singleShot(r.delayMs, socket, [socket, r] { answer(socket, r); });
        }
    }

    static void answer(QTcpSocket* socket, const CannedResponse& r) {
        const auto header = [](const char* name, const QByteArray& value) {
            return value.isEmpty() ? QByteArray() : name + (": " + value + "\r\n");
        };
        socket->write("HTTP/1.1 " + QByteArray::number(r.status) +
                      (r.status == 404 ? " Not Found" : " Whatever") + "\r\nConnection: close\r\n" +
                      header("Content-Type", r.contentType) + header("Location", r.location) +
                      header("Content-Length", r.sendLength && !r.endless
                                                   ? QByteArray::number(r.body.size())
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

    QTcpServer m_server;
    QHash<QString, CannedResponse> m_canned;
    QHash<QString, int> m_requests;
    int m_open = 0;
};

const QUrl kBase(QStringLiteral("http://radio.test:8000/lists/station.pls?id=7"));
constexpr int kWaitMs = 15000;

// "url|title" per entry, local files as paths.
QStringList entries(const QList<PlaylistEntry>& list) {
    QStringList out;
    for (const PlaylistEntry& e : list) {
        out.append((e.url.isLocalFile() ? e.url.toLocalFile() : e.url.toString()) + '|' + e.title);
    }
    return out;
}
QStringList entries(const PlaylistParse& parse) {
    return entries(parse.entries);
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

// The parser on bytes alone, then the resolver against a canned server and local files.
class TestPlaylist : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void detection_data();
    void detection();
    void namesAndTypes();
    void pls();
    void m3u();
    void asx();
    void xspf();
    void entryValidation_data();
    void entryValidation();
    void localPlaylist();
    void nothingPlayable();
    void bodyPastTheCap();
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
        return r.kind == Kind::Streams ? entries(r.streams) : QStringList({"error: " + r.error});
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

    std::unique_ptr<CannedHttpServer> m_server;
    std::unique_ptr<PlaylistResolver> m_resolver;
};

void TestPlaylist::detection_data() {
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<F>("expected");
    const auto row = [](const char* name, F expected, const QByteArray& body,
                        const QByteArray& type = {}, const char* url = "http://h/stream") {
        QTest::newRow(name) << type << QString::fromLatin1(url) << body << expected;
    };
    const char* pls = "http://h/a.pls";
    row("pls, any case", F::Pls, "[PlayList]\n");
    row("[Reference]", F::Pls, "[Reference]\r\n");
    row("m3u", F::M3u, "#EXTM3U\nhttp://h/a\n");
    row("hls behind a station-list type", F::Hls,
        "\xEF\xBB\xBF#EXTM3U\r\n#EXT-X-STREAM-INF:BANDWIDTH=1\r\nlo.m3u8\r\n", "audio/x-mpegurl");
    row("station list named .m3u8", F::M3u, "#EXTM3U\nx.mp3\n", {}, "http://h/l.M3U8");
    row("bare URL list as text/plain", F::M3u, "# hi\n\nicy://h:8000/\n", "text/plain");
    row("asx after bom, declaration, comment", F::Asx,
        "\xEF\xBB\xBF <?xml version=\"1.0\"?>\n<!-- x --><ASX version=\"3.0\">");
    row("utf-16 asx", F::Asx, QByteArray("\xFF\xFE<\0a\0s\0x\0>\0", 12));
    row("xspf", F::Xspf, "<playlist xmlns='http://xspf.org/ns/0/'>");
    row("other xml named .xspf", F::NotPlaylist, "<playlist><items>", {}, "http://h/a.xspf");
    row("web page named .pls", F::NotPlaylist, "<!DOCTYPE html><p>File1=http://h/a", "text/html",
        pls);
    row("type, no signature", F::Pls, "File1=x", "Audio/X-SCPLS; charset=UTF-8");
    row("signature beats type", F::Pls, "[playlist]\n", "audio/x-mpegurl");
    row("name, nothing else", F::Pls, {}, "application/octet-stream", "http://h/a.pls?x=1");
    row("plain text", F::NotPlaylist, "hello\n", "text/plain");
    row("id3", F::NotPlaylist, QByteArray("ID3\x04\0\0\0\0\0\x21http://h/a", 20), "audio/x-mpegurl",
        "http://h/a.m3u");
    row("ogg", F::NotPlaylist, QByteArray("OggS\0\2", 6), {}, pls);
    row("adts", F::NotPlaylist, "\xFF\xF1\x50\x80http://h/a", {}, pls);
    row("asf data typed as asx", F::NotPlaylist, "\x30\x26\xB2\x75\x8E\x66\xCF\x11",
        "video/x-ms-asf");
    row("NUL", F::NotPlaylist, QByteArray("File1=x\n\0", 9), {}, pls);
    QByteArray noise;
    for (int i = 0; i < 2000; ++i) {
        noise.append(char((i * 7919 + 13) % 251 + 1));
    }
    row("noise", F::NotPlaylist, noise, {}, pls);
}

void TestPlaylist::detection() {
    QFETCH(QByteArray, type);
    QFETCH(QString, url);
    QFETCH(QByteArray, body);
    QFETCH(F, expected);
    QCOMPARE(detectPlaylistFormat(type, QUrl(url), body), expected);
}

void TestPlaylist::namesAndTypes() {
    // The path's extension only, any case; the query and fragment do not count.
    for (const char* yes : {"http://h/R.PLS", "https://h/b.m3u8?t=1.mp3", "/home/u/My List.xspf",
                            "file:///x.WAX", "http://h/x.wvx#f", "icy://h/a.asx"}) {
        QVERIFY2(looksLikePlaylistUrl(QString::fromLatin1(yes)), yes);
    }
    for (const char* no : {"http://h/s.mp3?list=a.pls", "http://h/d.pls/s", "http://h.pls/", ""}) {
        QVERIFY2(!looksLikePlaylistUrl(QString::fromLatin1(no)), no);
    }
    // Server types and GStreamer's typefinder names alike.
    QCOMPARE(formatFromContentType("text/uri-list"), F::M3u);
    QCOMPARE(formatFromContentType(" Application/Vnd.Apple.MpegURL ;x=y"), F::M3u);
    QCOMPARE(formatFromContentType("audio/mpeg"), F::NotPlaylist);
    QVERIFY(isMediaContentType("application/ogg"));
    QVERIFY(!isMediaContentType("audio/x-scpls"));
    QCOMPARE(toMediaUrl(" /srv/a b.pls "), QUrl::fromLocalFile("/srv/a b.pls"));
}

void TestPlaylist::pls() {
    // Entries follow their numbers, not the lines; keys in any case; NumberOfEntries is ignored;
    // a title without a file is nothing; the first of two equal numbers counts.
    const QByteArray body =
        "; comment\r\nNumberOfEntries=1\r\nTitle10=Ten\r\nFILE10=http://h/ten\r\n"
        "file2 = http://h/two \r\nTitle2= Two  FM \r\nFile02=http://h/dup\r\nTitle3=No file\r\n"
        "File1=relative/one\r\nFileX=http://h/bad\r\nFile99999999999999999999=http://h/big\r\n";
    QCOMPARE(entries(parsePlaylist(F::Pls, body, kBase)),
             QStringList({"http://radio.test:8000/lists/relative/one|", "http://h/two|Two FM",
                          "http://h/ten|Ten"}));
    QCOMPARE(entries(parsePlaylist(F::Pls, "[Reference]\nRef1=mms://h/a\n", {})),
             QStringList({"mms://h/a|"}));
}

void TestPlaylist::m3u() {
    // #EXTINF names the next entry only, and its title starts after the first comma outside
    // quotes; CR, LF and CRLF all end lines; relative entries resolve against the playlist's
    // URL; an entry without a title takes the playlist's; a Latin-1 line decodes.
    const QByteArray body =
        "\xEF\xBB\xBF#EXTM3U\r\n#PLAYLIST:Station\r"
        "#EXTINF:-1 tvg-name=\"a, b\",Main, HQ\nhttp://h/main\n\n  # comment\n../backup.aac\n"
        "#EXTINF:123,Caf\xE9\r\n/root.mp3\r\n//other.test/x\r\n#EXTINF:0,Dangling\n";
    QCOMPARE(entries(parsePlaylist(F::M3u, body, kBase)),
             QStringList({"http://h/main|Main, HQ", "http://radio.test:8000/backup.aac|Station",
                          QStringLiteral("http://radio.test:8000/root.mp3|Café"),
                          "http://other.test/x|Station"}));
}

void TestPlaylist::asx() {
    // ASX as found in the wild: mixed case, unquoted and single-quoted values, raw '&' next to
    // escaped ones, several refs per entry (all kept), a title after the refs, a banner href
    // that is no stream, a commented-out ref, an <entryref>, an entry never closed.
    const QByteArray body =
        "<ASX Version=3.0><Title>The Station</Title><!-- <ref href=\"http://h/x\"/> -->\r\n"
        "<Entry><Banner HREF=\"http://h/b.png\"/><REF HREF = 'http://h/a?x=1&y=2' />\r\n"
        "<ref href=http://h/b?x=1&amp;y=2><Title><![CDATA[Day & Night]]></Title></ENTRY>\r\n"
        "<entry><ref href=\"rel.wma\"/></entry><EntryRef HREF=\"http://h/more\"/>\r\n"
        "<entry><title>Open</title><ref href=\"mms://h/c\"/>";
    const PlaylistParse parse = parsePlaylist(F::Asx, body, kBase);
    QCOMPARE(entries(parse),
             QStringList({"http://h/a?x=1&y=2|Day & Night", "http://h/b?x=1&y=2|Day & Night",
                          "http://radio.test:8000/lists/rel.wma|The Station",
                          "http://h/more|The Station", "mms://h/c|Open"}));
    QVERIFY(!parse.entries[0].playlist && parse.entries[3].playlist);
}

void TestPlaylist::xspf() {
    // Every location of a track, in order; the playlist's own location is not a track;
    // namespace prefixes do not matter.
    const QByteArray body =
        "<?xml version=\"1.0\"?><x:playlist xmlns:x=\"http://xspf.org/ns/0/\"><x:title>Mine"
        "</x:title><x:location>http://h/self.xspf</x:location><x:trackList><x:track>"
        "<x:title>First</x:title><x:location> http://h/1?a=1&amp;b=2 </x:location>"
        "<x:location>http://h/1b</x:location></x:track><x:track><x:location>2.ogg</x:location>"
        "</x:track><x:track><x:title>None</x:title></x:track></x:trackList></x:playlist>";
    QCOMPARE(entries(parsePlaylist(F::Xspf, body, kBase)),
             QStringList({"http://h/1?a=1&b=2|First", "http://h/1b|First",
                          "http://radio.test:8000/lists/2.ogg|Mine"}));
}

void TestPlaylist::entryValidation_data() {
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("expected");  // empty: dropped
    for (const auto& [written, expected] :
         {std::pair{"ICY://h:8000/", "http://h:8000/"},
          {"mms://h/a", "mms://h/a"},
          {"rtsp://h/a", "rtsp://h/a"},
          {"sub/x.mp3", "http://radio.test:8000/lists/sub/x.mp3"}}) {
        QTest::newRow(written) << QString::fromLatin1(written) << QString::fromLatin1(expected);
    }
    for (const char* bad :
         {"   ", "http://", "http:///path", "http://exa mple/", "javascript:x",
          "data:audio/mpeg;base64,AA", "ftp://h/a", "Now playing: x", "<ref href=x>",
          "http://h/\x01", "C:\\Music\\a.mp3", "file:///etc/passwd"}) {
        QTest::newRow(bad) << QString::fromLatin1(bad) << QString();
    }
}

void TestPlaylist::entryValidation() {
    QFETCH(QString, written);
    QFETCH(QString, expected);
    QCOMPARE(playableUrl(written, kBase).toString(), expected);
}

void TestPlaylist::localPlaylist() {
    // A local playlist names files relative to its folder (also with backslashes), absolute,
    // or as file:// URLs; a drive letter means nothing here.
    const QByteArray body =
        "a b.mp3\nsub\\c#1.ogg\n../d.pls\n/abs/e.mp3\nfile:///abs/f%20g.mp3\nhttp://h/w\n"
        "D:\\x.mp3\n";
    QCOMPARE(entries(parsePlaylist(F::M3u, body, QUrl::fromLocalFile("/srv/lists/l.m3u"))),
             QStringList({"/srv/lists/a b.mp3|", "/srv/lists/sub/c#1.ogg|", "/srv/d.pls|",
                          "/abs/e.mp3|", "/abs/f g.mp3|", "http://h/w|"}));
    QVERIFY(!playableUrl(QStringLiteral("y.mp3"), {}).isValid());
}

void TestPlaylist::nothingPlayable() {
    // Empty, comments only, garbage or broken markup: an error with a reason, never a crash.
    const QList<std::pair<F, QByteArray>> cases = {
        {F::Pls, "[playlist]\nFile1=\nFile2=garbage://\nNumberOfEntries=2\n"},
        {F::M3u, "#EXTM3U\n#EXTINF:-1,Title only\nNow playing: \"x\"\nhttp://\n"},
        {F::Asx, "<asx><entry><ref/><ref href=\"\"/><ref href=\"x y\"></entry>"},
        {F::Xspf, "<playlist><trackList><track><location/></track>"},
    };
    for (const auto& [format, body] : cases) {
        for (const QByteArray& bytes :
             {QByteArray(), body, QByteArray("<<>>&&;;<![CDATA[<!--"), QByteArray("<a b=\"open"),
              QByteArray("\xEF\xBB\xBF\r\n")}) {
            const PlaylistParse parse = parsePlaylist(format, bytes, kBase);
            QVERIFY2(parse.entries.isEmpty(), bytes.constData());
            QCOMPARE(parse.error, QStringLiteral("playlist has no playable entries"));
        }
    }
    QCOMPARE(parsePlaylist(F::M3u, QByteArray("ID3\3\0\0http://h/a", 16), kBase).error,
             QStringLiteral("not a playlist"));
    QCOMPARE(entries(parsePlaylist(F::Hls, "#EXTM3U\n", kBase)),
             QStringList({kBase.toString() + '|'}));
}

void TestPlaylist::bodyPastTheCap() {
    // The resolver caps downloads; the parser itself still copes with more, in linear time.
    QByteArray big;
    while (big.size() <= kMaxPlaylistBytes) {
        big += "#EXTINF:-1,S\nhttp://h/s" + QByteArray::number(big.size()) + '\n';
    }
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(parsePlaylist(F::M3u, big, kBase).entries.size(), 256);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
}

void TestPlaylist::init() {
    m_server = std::make_unique<CannedHttpServer>();
    QVERIFY(m_server->isListening());
    PlaylistResolver::Limits limits;
    limits.timeoutMs = 2000;  // a failing test should fail well before CTest's own timeout
    m_resolver = std::make_unique<PlaylistResolver>(limits);
}

void TestPlaylist::cleanup() {
    m_resolver.reset();
    m_server.reset();
}

void TestPlaylist::webPlaylists() {
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
    QCOMPARE(error(refused),
             QStringLiteral("Connection refused (%1:%2)").arg(refused.host()).arg(refused.port()));
    QCOMPARE(error(QUrl(QStringLiteral("no scheme"))), QStringLiteral("invalid URL"));
}

void TestPlaylist::mediaIsNotReadToTheEnd() {
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

void TestPlaylist::nesting() {
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

void TestPlaylist::loopsAndDepth() {
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

void TestPlaylist::sizeAndTimeCaps() {
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
        QCOMPARE(error(url(path)), QStringLiteral("Timed out (127.0.0.1)"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->openConnections(), 0, kWaitMs);
    }
    QCOMPARE(streams(url("/slow.m3u")), QStringList({"http://h/slow|"}));
}

void TestPlaylist::cancellation() {
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

void TestPlaylist::localFiles() {
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

QTEST_GUILESS_MAIN(TestPlaylist)
#include "tst_playlist.moc"
