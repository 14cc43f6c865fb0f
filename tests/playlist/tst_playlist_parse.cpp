#include <QElapsedTimer>
#include <QtTest>

#include "Playlist.h"

using namespace orvane;
using F = PlaylistFormat;

namespace {

const QUrl kBase(QStringLiteral("http://radio.test:8000/lists/station.pls?id=7"));

// "url|title" per entry, local files as paths.
QStringList entries(const PlaylistParse& parse) {
    QStringList out;
    for (const PlaylistEntry& e : parse.entries) {
        out.append((e.url.isLocalFile() ? e.url.toLocalFile() : e.url.toString()) + '|' + e.title);
    }
    return out;
}

}  // namespace

class TestPlaylistParse : public QObject {
    Q_OBJECT
  private slots:
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
};

void TestPlaylistParse::detection_data() {
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

void TestPlaylistParse::detection() {
    QFETCH(QByteArray, type);
    QFETCH(QString, url);
    QFETCH(QByteArray, body);
    QFETCH(F, expected);
    QCOMPARE(detectPlaylistFormat(type, QUrl(url), body), expected);
}

void TestPlaylistParse::namesAndTypes() {
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

void TestPlaylistParse::pls() {
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

void TestPlaylistParse::m3u() {
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

void TestPlaylistParse::asx() {
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

void TestPlaylistParse::xspf() {
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

void TestPlaylistParse::entryValidation_data() {
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

void TestPlaylistParse::entryValidation() {
    QFETCH(QString, written);
    QFETCH(QString, expected);
    QCOMPARE(playableUrl(written, kBase).toString(), expected);
}

void TestPlaylistParse::localPlaylist() {
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

void TestPlaylistParse::nothingPlayable() {
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

void TestPlaylistParse::bodyPastTheCap() {
    // The resolver caps downloads; the parser itself still copes with more, in linear time.
    QByteArray big;
    while (big.size() <= kMaxPlaylistBytes) {
        big += "#EXTINF:-1,S\nhttp://h/s" + QByteArray::number(big.size()) + '\n';
    }
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(parsePlaylist(F::M3u, big, kBase).entries.size(), big.count("http://"));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(TestPlaylistParse)
#include "tst_playlist_parse.moc"
