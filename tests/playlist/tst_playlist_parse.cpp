#include <QElapsedTimer>
#include <QtTest>

#include "Playlist.h"

using namespace orvane;

namespace {

const QUrl kBase(QStringLiteral("http://radio.test:8000/lists/station.pls?id=7"));

QStringList urls(const PlaylistParse& parse) {
    QStringList out;
    for (const PlaylistEntry& e : parse.entries) {
        out.append(e.url.toString());
    }
    return out;
}

QStringList titles(const PlaylistParse& parse) {
    QStringList out;
    for (const PlaylistEntry& e : parse.entries) {
        out.append(e.title);
    }
    return out;
}

}  // namespace

class TestPlaylistParse : public QObject {
    Q_OBJECT
  private slots:
    void detection_data();
    void detection();
    void urlAndTypeChecks();
    void pls();
    void m3u();
    void asx();
    void xspf();
    void entryValidation_data();
    void entryValidation();
    void localPaths();
    void badInput();
};

void TestPlaylistParse::detection_data() {
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<PlaylistFormat>("expected");

    const QString none = QStringLiteral("http://h/stream");
    using F = PlaylistFormat;
    QTest::newRow("pls, any case")
        << QByteArray() << none << QByteArray("[PlayList]\nfile1=x") << F::Pls;
    QTest::newRow("windows media reference")
        << QByteArray() << none << QByteArray("[Reference]\r\nRef1=http://h/a\r\n") << F::Pls;
    QTest::newRow("extended m3u") << QByteArray() << none
                                  << QByteArray("#EXTM3U\n#EXTINF:-1,A\nhttp://h/a\n") << F::M3u;
    QTest::newRow("hls media playlist")
        << QByteArray() << QStringLiteral("http://h/live.m3u8")
        << QByteArray("#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\nseg1.aac\n") << F::Hls;
    QTest::newRow("hls master behind an audio/x-mpegurl type")
        << QByteArray("audio/x-mpegurl") << none
        << QByteArray("\xEF\xBB\xBF#EXTM3U\r\n#EXT-X-STREAM-INF:BANDWIDTH=1\r\nlo.m3u8\r\n")
        << F::Hls;
    QTest::newRow("station list named .m3u8")
        << QByteArray() << QStringLiteral("http://h/list.M3U8") << QByteArray("http://h/a\n")
        << F::M3u;
    QTest::newRow("#EXT-X- without the header is not HLS")
        << QByteArray() << QStringLiteral("http://h/l.m3u") << QByteArray("#EXT-X-FOO\nhttp://h/a")
        << F::M3u;
    QTest::newRow("bare URL list as text/plain")
        << QByteArray("text/plain") << none << QByteArray("# comment\n\nicy://h:8000/\n") << F::M3u;
    QTest::newRow("asx after bom, declaration and comment")
        << QByteArray() << none
        << QByteArray("\xEF\xBB\xBF <?xml version=\"1.0\"?>\n<!-- x --><ASX version=\"3.0\">")
        << F::Asx;
    QTest::newRow("utf-16 asx") << QByteArray() << none << QByteArray("\xFF\xFE<\0a\0s\0x\0>\0", 12)
                                << F::Asx;
    QTest::newRow("xspf by namespace")
        << QByteArray() << none
        << QByteArray("<?xml version='1.0'?><playlist version='1' xmlns='http://xspf.org/ns/0/'>")
        << F::Xspf;
    QTest::newRow("xspf by trackList")
        << QByteArray() << none << QByteArray("<playlist><trackList>") << F::Xspf;
    QTest::newRow("other xml is no xspf, whatever the name")
        << QByteArray() << QStringLiteral("http://h/a.xspf") << QByteArray("<playlist><items>")
        << F::NotPlaylist;
    QTest::newRow("web page behind a .pls name")
        << QByteArray("text/html") << QStringLiteral("http://h/a.pls")
        << QByteArray("<!DOCTYPE html><html><body>File1=http://h/a</body></html>")
        << F::NotPlaylist;
    QTest::newRow("content type when the body has no signature")
        << QByteArray("Audio/X-SCPLS; charset=UTF-8") << none << QByteArray("File1=http://h/a")
        << F::Pls;
    QTest::newRow("signature beats content type")
        << QByteArray("audio/x-mpegurl") << none << QByteArray("[playlist]\nFile1=http://h/a")
        << F::Pls;
    QTest::newRow("extension when nothing else tells")
        << QByteArray("application/octet-stream") << QStringLiteral("http://h/a.pls?x=1")
        << QByteArray("File1=http://h/a") << F::Pls;
    QTest::newRow("empty body, named .pls")
        << QByteArray() << QStringLiteral("http://h/a.pls") << QByteArray() << F::Pls;
    QTest::newRow("plain text, no hints")
        << QByteArray("text/plain") << none << QByteArray("hello world\n") << F::NotPlaylist;
    QTest::newRow("id3 mp3 named .m3u")
        << QByteArray("audio/x-mpegurl") << QStringLiteral("http://h/a.m3u")
        << QByteArray("ID3\x04\0\0\0\0\0\x21http://h/a", 20) << F::NotPlaylist;
    QTest::newRow("ogg") << QByteArray() << QStringLiteral("http://h/a.pls")
                         << QByteArray("OggS\x00\x02", 6) << F::NotPlaylist;
    QTest::newRow("adts frames") << QByteArray() << QStringLiteral("http://h/a.pls")
                                 << QByteArray("\xFF\xF1\x50\x80http://h/a") << F::NotPlaylist;
    QTest::newRow("asf data typed video/x-ms-asf")
        << QByteArray("video/x-ms-asf") << none << QByteArray("\x30\x26\xB2\x75\x8E\x66\xCF\x11")
        << F::NotPlaylist;
    QTest::newRow("a NUL byte") << QByteArray() << QStringLiteral("http://h/a.m3u")
                                << QByteArray("http://h/a\n\0", 12) << F::NotPlaylist;
    QByteArray noise;
    for (int i = 0; i < 2000; ++i) {
        noise.append(char((i * 7919 + 13) % 251 + 1));
    }
    QTest::newRow("random bytes") << QByteArray() << QStringLiteral("http://h/a.pls") << noise
                                  << F::NotPlaylist;
}

void TestPlaylistParse::detection() {
    QFETCH(QByteArray, contentType);
    QFETCH(QString, url);
    QFETCH(QByteArray, body);
    QFETCH(PlaylistFormat, expected);
    QCOMPARE(detectPlaylistFormat(contentType, QUrl(url), body), expected);
}

void TestPlaylistParse::urlAndTypeChecks() {
    // Names: the path's extension only, any case; the query and fragment do not count.
    QVERIFY(looksLikePlaylistUrl(QUrl(QStringLiteral("http://h/Radio.PLS"))));
    QVERIFY(looksLikePlaylistUrl(QUrl(QStringLiteral("https://h/a/b.m3u8?token=1.mp3"))));
    QVERIFY(looksLikePlaylistUrl(QStringLiteral("/home/u/My Stations/list.xspf")));
    QVERIFY(looksLikePlaylistUrl(QStringLiteral("file:///tmp/x.WAX")));
    QVERIFY(looksLikePlaylistUrl(QStringLiteral("http://h/x.wvx#frag")));
    QVERIFY(!looksLikePlaylistUrl(QStringLiteral("http://h/stream.mp3?list=a.pls")));
    QVERIFY(!looksLikePlaylistUrl(QStringLiteral("http://h/dir.pls/stream")));
    QVERIFY(!looksLikePlaylistUrl(QStringLiteral("http://h.pls/")));
    QVERIFY(!looksLikePlaylistUrl(QStringLiteral("http://h/pls")));
    QVERIFY(!looksLikePlaylistUrl(QString()));

    // GStreamer's typefinder names and server types alike.
    QCOMPARE(formatFromContentType("text/uri-list"), PlaylistFormat::M3u);
    QCOMPARE(formatFromContentType(" Application/Vnd.Apple.MpegURL ;x=y"), PlaylistFormat::M3u);
    QCOMPARE(formatFromContentType("video/x-ms-asf"), PlaylistFormat::Asx);
    QCOMPARE(formatFromContentType("application/xspf+xml"), PlaylistFormat::Xspf);
    QCOMPARE(formatFromContentType("audio/mpeg"), PlaylistFormat::NotPlaylist);
    QVERIFY(isMediaContentType("audio/aacp"));
    QVERIFY(isMediaContentType("application/ogg"));
    QVERIFY(!isMediaContentType("audio/x-scpls"));
    QVERIFY(!isMediaContentType("text/html"));

    // A source as the user wrote it.
    QCOMPARE(toMediaUrl(QStringLiteral(" /srv/a b.pls ")),
             QUrl::fromLocalFile(QStringLiteral("/srv/a b.pls")));
    QCOMPARE(toMediaUrl(QStringLiteral("icy://h:8000/live")),
             QUrl(QStringLiteral("http://h:8000/live")));
}

void TestPlaylistParse::pls() {
    // Entries follow their numbers, not the lines; keys in any case; NumberOfEntries is ignored;
    // a number without a file is skipped; the first of two equal numbers counts; values are
    // trimmed; the section header is optional.
    const QByteArray body =
        "; comment\r\n"
        "NumberOfEntries=1\r\n"
        "Title10=Ten\r\n"
        "FILE10=http://h/ten\r\n"
        "file2 = http://h/two \r\n"
        "Title2= Two  FM \r\n"
        "File02=http://h/duplicate\r\n"
        "Title3=No file\r\n"
        "File1=relative/one\r\n"
        "FileX=http://h/bad-key\r\n"
        "File99999999999999999999999=http://h/overflow\r\n"
        "no equals sign\r\n"
        "Version=2\r\n";
    const PlaylistParse parse = parsePlaylist(PlaylistFormat::Pls, body, kBase);
    QVERIFY(parse.error.isEmpty());
    QCOMPARE(urls(parse), QStringList({"http://radio.test:8000/lists/relative/one", "http://h/two",
                                       "http://h/ten"}));
    QCOMPARE(titles(parse), QStringList({"", "Two FM", "Ten"}));

    const PlaylistParse ref =
        parsePlaylist(PlaylistFormat::Pls, "[Reference]\nRef1=mms://h/a\nRef2=http://h/b\n", {});
    QCOMPARE(urls(ref), QStringList({"mms://h/a", "http://h/b"}));
}

void TestPlaylistParse::m3u() {
    // #EXTINF names the next entry only; a comma inside a quoted attribute is not the title's
    // start; other comments and blank lines are skipped; CR, LF and CRLF all end lines;
    // relative entries resolve against the playlist's URL; a Latin-1 title is decoded.
    const QByteArray body =
        "\xEF\xBB\xBF#EXTM3U\r\n"
        "#PLAYLIST:Station Name\r"
        "#EXTINF:-1 tvg-name=\"a, b\" group-title=\"x\",Main, high quality\n"
        "http://h/main\n"
        "\n"
        "  # a comment\n"
        "../backup.aac\n"
        "#EXTINF:123,Caf\xE9\r\n"
        "/root.mp3\r\n"
        "#EXTINF:-1,\r\n"
        "//other.test/x\r\n"
        "#EXTINF:0,Dangling title at the end\n";
    const PlaylistParse parse = parsePlaylist(PlaylistFormat::M3u, body, kBase);
    QCOMPARE(urls(parse), QStringList({"http://h/main", "http://radio.test:8000/backup.aac",
                                       "http://radio.test:8000/root.mp3", "http://other.test/x"}));
    // Entries without a title of their own fall back to the playlist's name.
    QCOMPARE(titles(parse), QStringList({"Main, high quality", "Station Name",
                                         QStringLiteral("Café"), "Station Name"}));
}

void TestPlaylistParse::asx() {
    // Real ASX: mixed-case tags and attributes, unquoted and single-quoted values, raw '&' in
    // URLs next to escaped ones, several refs per entry (all kept, in order), a title after the
    // refs, an entryref (itself a playlist), a banner href that is not a stream, a comment, and
    // an entry left open at the end.
    const QByteArray body =
        "<ASX Version=3.0>\r\n"
        "<Title>The Station</Title>\r\n"
        "<!-- <ref href=\"http://h/commented-out\"/> -->\r\n"
        "<Entry><Banner HREF=\"http://h/banner.png\"/>\r\n"
        "  <REF HREF = 'http://h/a?x=1&y=2' />\r\n"
        "  <ref href=http://h/b?x=1&amp;y=2>\r\n"
        "  <Title><![CDATA[Morning & Evening]]></Title>\r\n"
        "</ENTRY>\r\n"
        "<entry><ref href=\"relative.wma\"/></entry>\r\n"
        "<EntryRef HREF=\"http://h/more\"/>\r\n"
        "<entry><title>Open &amp; unclosed</title><ref href=\"mms://h/c\"/>\r\n";
    const PlaylistParse parse = parsePlaylist(PlaylistFormat::Asx, body, kBase);
    QCOMPARE(urls(parse), QStringList({"http://h/a?x=1&y=2", "http://h/b?x=1&y=2",
                                       "http://radio.test:8000/lists/relative.wma", "http://h/more",
                                       "mms://h/c"}));
    QCOMPARE(titles(parse), QStringList({"Morning & Evening", "Morning & Evening", "The Station",
                                         "The Station", "Open & unclosed"}));
    QVERIFY(!parse.entries[0].playlist);
    QVERIFY(parse.entries[3].playlist);
}

void TestPlaylistParse::xspf() {
    const QByteArray body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<playlist version=\"1\" xmlns=\"http://xspf.org/ns/0/\">\n"
        "  <title>My List</title>\n"
        "  <location>http://h/the-list-itself.xspf</location>\n"
        "  <trackList>\n"
        "    <track><title>First</title>\n"
        "      <location> http://h/1?a=1&amp;b=2 </location>\n"
        "      <location>http://h/1-backup</location></track>\n"
        "    <track><location>second.ogg</location></track>\n"
        "    <track><title>No location</title></track>\n"
        "  </trackList>\n"
        "</playlist>\n";
    const PlaylistParse parse = parsePlaylist(PlaylistFormat::Xspf, body, kBase);
    QCOMPARE(urls(parse), QStringList({"http://h/1?a=1&b=2", "http://h/1-backup",
                                       "http://radio.test:8000/lists/second.ogg"}));
    QCOMPARE(titles(parse), QStringList({"First", "First", "My List"}));

    // Namespace prefixes are not part of the names.
    const PlaylistParse prefixed =
        parsePlaylist(PlaylistFormat::Xspf,
                      "<x:playlist xmlns:x=\"http://xspf.org/ns/0/\"><x:trackList><x:track>"
                      "<x:location>http://h/p</x:location></x:track></x:trackList></x:playlist>",
                      kBase);
    QCOMPARE(urls(prefixed), QStringList({"http://h/p"}));
}

void TestPlaylistParse::entryValidation_data() {
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("expected");  // empty: dropped

    QTest::newRow("https") << "https://h/a"
                           << "https://h/a";
    QTest::newRow("icy is http") << "ICY://h:8000/"
                                 << "http://h:8000/";
    QTest::newRow("mms") << "mms://h/a"
                         << "mms://h/a";
    QTest::newRow("rtsp") << "rtsp://h/a"
                          << "rtsp://h/a";
    QTest::newRow("relative") << "sub/x.mp3"
                              << "http://radio.test:8000/lists/sub/x.mp3";
    QTest::newRow("blank") << "   "
                           << "";
    QTest::newRow("a line of prose") << "Now playing: nothing"
                                     << "";
    QTest::newRow("markup") << "<ref href=x>"
                            << "";
    QTest::newRow("scheme, no host") << "http://"
                                     << "";
    QTest::newRow("space in host") << "http://exa mple/"
                                   << "";
    QTest::newRow("javascript") << "javascript:alert(1)"
                                << "";
    QTest::newRow("data") << "data:audio/mpeg;base64,AAAA"
                          << "";
    QTest::newRow("ftp") << "ftp://h/a.mp3"
                         << "";
    QTest::newRow("unknown scheme") << "foo://h/a"
                                    << "";
    QTest::newRow("control character") << QStringLiteral("http://h/a\x01") << "";
    QTest::newRow("drive letter") << "C:\\Music\\a.mp3"
                                  << "";
    QTest::newRow("local file from a web playlist") << "file:///etc/passwd"
                                                    << "";
}

void TestPlaylistParse::entryValidation() {
    QFETCH(QString, written);
    QFETCH(QString, expected);
    QCOMPARE(playableUrl(written, kBase).toString(), expected);
}

void TestPlaylistParse::localPaths() {
    // A local playlist names files by path: relative (also with backslashes) to its folder,
    // absolute, or as file:// URLs; web URLs stay web URLs.
    const QUrl base = QUrl::fromLocalFile(QStringLiteral("/srv/radio/lists/local.m3u"));
    const QByteArray body =
        "a b.mp3\n"
        "sub\\c#1.ogg\n"
        "../d.pls\n"
        "/abs/e.mp3\n"
        "file:///abs/f%20g.mp3\n"
        "http://h/web\n"
        "D:\\Windows\\drive.mp3\n";
    const PlaylistParse parse = parsePlaylist(PlaylistFormat::M3u, body, base);
    QStringList paths;
    for (const PlaylistEntry& e : parse.entries) {
        paths.append(e.url.isLocalFile() ? e.url.toLocalFile() : e.url.toString());
    }
    QCOMPARE(paths,
             QStringList({"/srv/radio/lists/a b.mp3", "/srv/radio/lists/sub/c#1.ogg",
                          "/srv/radio/d.pls", "/abs/e.mp3", "/abs/f g.mp3", "http://h/web"}));
    // Without any base, only absolute URLs and paths mean something.
    QCOMPARE(playableUrl(QStringLiteral("/x/y.mp3"), {}),
             QUrl::fromLocalFile(QStringLiteral("/x/y.mp3")));
    QVERIFY(!playableUrl(QStringLiteral("y.mp3"), {}).isValid());
}

void TestPlaylistParse::badInput() {
    // Empty, comments only, or nothing playable: an error with a reason, never a crash.
    const QList<std::pair<PlaylistFormat, QByteArray>> cases = {
        {PlaylistFormat::Pls, "[playlist]\nFile1=\nFile2=garbage://\nNumberOfEntries=2\n"},
        {PlaylistFormat::M3u, "#EXTM3U\n# nothing\n#EXTINF:-1,Title only\n"},
        {PlaylistFormat::M3u, "Now playing: \"x\"\n[playlist]\nhttp://\nhttp:///path\n"},
        {PlaylistFormat::Asx, "<asx><entry><ref/><ref href=\"\"/><ref href=\"x y\"></entry>"},
        {PlaylistFormat::Xspf, "<playlist><trackList><track><location/></track>"},
    };
    for (const auto& [format, body] : cases) {
        for (const QByteArray& bytes :
             {QByteArray(), body, QByteArray("<<<>>>&&&;;;<![CDATA[<!--"),
              QByteArray("<a b=\"unterminated"), QByteArray("\xEF\xBB\xBF\r\n\r\n")}) {
            const PlaylistParse parse = parsePlaylist(format, bytes, kBase);
            QVERIFY2(parse.entries.isEmpty(), bytes.constData());
            QCOMPARE(parse.error, QStringLiteral("playlist has no playable entries"));
        }
    }
    QCOMPARE(
        parsePlaylist(PlaylistFormat::M3u, QByteArray("ID3\x03\0\0http://h/a", 16), kBase).error,
        QStringLiteral("not a playlist"));

    // HLS is not parsed: its own URL is the one stream.
    const PlaylistParse hls = parsePlaylist(PlaylistFormat::Hls, "#EXTM3U\n", kBase);
    QCOMPARE(urls(hls), QStringList({kBase.toString()}));

    // A body past the download cap (which the resolver enforces) still parses in linear time.
    QByteArray big;
    int lines = 0;
    while (big.size() <= kMaxPlaylistBytes + 100) {
        big += "#EXTINF:-1,Station number " + QByteArray::number(lines) + "\nhttp://h/s" +
               QByteArray::number(lines) + "\n";
        ++lines;
    }
    QElapsedTimer clock;
    clock.start();
    const PlaylistParse parse = parsePlaylist(PlaylistFormat::M3u, big, kBase);
    QCOMPARE(parse.entries.size(), lines);
    QCOMPARE(parse.entries.last().title, QStringLiteral("Station number %1").arg(lines - 1));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(TestPlaylistParse)
#include "tst_playlist_parse.moc"
