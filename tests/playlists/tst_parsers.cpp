// SPDX-License-Identifier: GPL-3.0-or-later
// Detection, the format parsers and the URL rules, on bytes alone: no network, no files.
#include <QtTest>

#include "playlists/Playlist.h"
#include "playlists/UrlRules.h"

using namespace orvane;
using F = PlaylistFormat;

namespace {

const QUrl kWeb(QStringLiteral("http://radio.test:8000/lists/station.pls?id=7"));
const QUrl kLocal = QUrl::fromLocalFile(QStringLiteral("/srv/lists/l.m3u"));

// "url|title" per entry, local files as paths, "|nested" for entries that are playlists.
QStringList entries(const PlaylistParse& parse) {
    QStringList out;
    for (const PlaylistEntry& e : parse.entries) {
        out.append((e.url.isLocalFile() ? e.url.toLocalFile() : e.url.toString()) + '|' + e.title +
                   (e.playlist ? "|nested" : ""));
    }
    return out;
}

QByteArray utf16le(const char* text) {
    const QString s = QString::fromLatin1(text);
    return "\xFF\xFE" + QByteArray(reinterpret_cast<const char*>(s.utf16()), s.size() * 2);
}

}  // namespace

class TestParsers : public QObject {
    Q_OBJECT
  private slots:
    void detection_data() {
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
            "\xEF\xBB\xBF#EXTM3U\r\n#EXT-X-STREAM-INF:BANDWIDTH=1\r\nlo.m3u8\r\n",
            "audio/x-mpegurl");
        row("hls tag far down", F::Hls,
            "#EXTM3U\n" + QByteArray("#EXTINF:6,\ns.aac\n").repeated(500) + "  #ext-x-endlist\n");
        row("station list named .m3u8", F::M3u, "#EXTM3U\nx.mp3\n", {}, "http://h/l.M3U8");
        row("bare URL list as text/plain", F::M3u, "# hi\n\nicy://h:8000/\n", "text/plain");
        row("headerless m3u", F::M3u, "#EXTINF:-1,A\nx.mp3\n");
        row("asx after bom, declaration, comment", F::Asx,
            "\xEF\xBB\xBF <?xml version=\"1.0\"?>\n<!-- x --><ASX version=\"3.0\">");
        row("utf-16 asx", F::Asx, utf16le("<asx>"));
        row("xspf", F::Xspf, "<playlist xmlns='http://xspf.org/ns/0/'>");
        row("other xml named .xspf", F::NotPlaylist, "<playlist><items>", {}, "http://h/a.xspf");
        row("web page named .pls", F::NotPlaylist, "<!DOCTYPE html><p>File1=http://h/a",
            "text/html", pls);
        row("type, no signature", F::Pls, "File1=x", "Audio/X-SCPLS; charset=UTF-8");
        row("signature beats type", F::Pls, "[playlist]\n", "audio/x-mpegurl");
        row("name, nothing else", F::Pls, {}, "application/octet-stream", "http://h/a.pls?x=1");
        row("plain text", F::NotPlaylist, "hello\n", "text/plain");
        row("id3", F::NotPlaylist, QByteArray("ID3\x04\0\0\0\0\0\x21http://h/a", 20),
            "audio/x-mpegurl", "http://h/a.m3u");
        row("adts", F::NotPlaylist, "\xFF\xF1\x50\x80http://h/a", {}, pls);
        row("NUL", F::NotPlaylist, QByteArray("File1=x\n\0", 9), {}, pls);
        QByteArray noise;
        for (int i = 0; i < 2000; ++i) {
            noise.append(char((i * 7919 + 13) % 251 + 1));
        }
        row("noise", F::NotPlaylist, noise, {}, pls);
    }
    void detection() {
        QFETCH(QByteArray, type);
        QFETCH(QString, url);
        QFETCH(QByteArray, body);
        QFETCH(F, expected);
        QCOMPARE(detectPlaylistFormat(type, QUrl(url), body), expected);
    }
    void playlistNamesGoByTheExtension() {
        // The path's extension only, any case; the query and fragment do not count.
        for (const char* yes : {"http://h/R.PLS", "https://h/b.m3u8?t=1.mp3", "file:///x.WAX",
                                "http://h/x.wvx#f", "http://h/a.asx", "http://h/a.xspf"}) {
            QVERIFY2(looksLikePlaylistUrl(QUrl(yes)), yes);
        }
        for (const char* no :
             {"http://h/s.mp3?list=a.pls", "http://h/d.pls/s", "http://h.pls/", ""}) {
            QVERIFY2(!looksLikePlaylistUrl(QUrl(no)), no);
        }
        QVERIFY(looksLikePlaylistUrl(toMediaUrl(QStringLiteral(" /home/u/My List.xspf "))));
    }
    void parse_data() {
        QTest::addColumn<F>("format");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QUrl>("base");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char* name, F format, const QByteArray& body,
                            const QStringList& expected, const QUrl& base = kWeb) {
            QTest::newRow(name) << format << body << base << expected;
        };
        row("pls: by number, not by line or NumberOfEntries; a query string", F::Pls,
            "NumberOfEntries=1\nFile2=http://host/s?sid=1&t=2\nFile1=http://h/1\n",
            {"http://h/1|", "http://host/s?sid=1&t=2|"});
        row("pls: keys in any case, title of the same number", F::Pls,
            "Title1= Two  FM \nFILE1 = http://h/a \n", {"http://h/a|Two FM"});
        row("pls: first of two equal numbers", F::Pls, "File2=http://h/a\nFile02=http://h/b\n",
            {"http://h/a|"});
        row("pls: bad numbers and comments", F::Pls,
            "FileX=http://h/x\nFile99999999999999999999=http://h/y\n; File1=http://h/x\n"
            "# File1=http://h/y\nFile1=http://h/a\n",
            {"http://h/a|"});
        row("pls: relative", F::Pls, "File1=relative/one\n",
            {"http://radio.test:8000/lists/relative/one|"});
        row("pls: [Reference]", F::Pls, "[Reference]\nRef1=mms://h/a\n", {"mms://h/a|"});
        row("m3u: #EXTINF names the next entry only; query strings", F::M3u,
            "#EXTINF:-1,One\nhttp://h/1\nhttp://host/s?sid=1&t=2",
            {"http://h/1|One", "http://host/s?sid=1&t=2|"});
        row("m3u: title after the first comma outside quotes", F::M3u,
            "#EXTINF:-1 tvg-name=\"a, b\",Main, HQ\nhttp://h/m\n", {"http://h/m|Main, HQ"});
        row("m3u: CR, LF, CRLF, comments and blank lines", F::M3u,
            "  # note\n\n\thttp://h/1\rhttp://h/2\r\nhttp://h/3\n",
            {"http://h/1|", "http://h/2|", "http://h/3|"});
        row("m3u: playlist title for the rest", F::M3u, "#PLAYLIST:Station\nhttp://h/1\n",
            {"http://h/1|Station"});
        row("m3u: relative references", F::M3u, "../b.aac\n/root.mp3\n//other.test/x\n",
            {"http://radio.test:8000/b.aac|", "http://radio.test:8000/root.mp3|",
             "http://other.test/x|"});
        row("m3u: a Latin-1 line", F::M3u, "#EXTINF:1,Caf\xE9\nhttp://h/1\n",
            {QStringLiteral("http://h/1|Café")});
        row("m3u: byte-order mark", F::M3u, "\xEF\xBB\xBFhttp://h/1\n", {"http://h/1|"});
        row("asx: mixed case, unquoted, single quotes, spaces", F::Asx,
            "<ASX><Entry><REF HREF=http://h/a></ENTRY><entry><ref href = 'http://h/b' /></entry>",
            {"http://h/a|", "http://h/b|"});
        row("asx: raw '&', and the five predefined entities in titles and URLs", F::Asx,
            "<asx><ref href=\"http://h/a?x=1&y=2\"/><entry><title>&lt;R&amp;B&gt; &quot;Live"
            "&quot; &apos;24&apos;</title><ref href=\"http://h/&lt;a&gt;?q=&quot;x&quot;&amp;n="
            "&apos;y&apos;\"/>",
            {"http://h/a?x=1&y=2|", "http://h/%3Ca%3E?q=%22x%22&n='y'|<R&B> \"Live\" '24'"});
        row("asx: every ref, title after them", F::Asx,
            "<asx><entry><ref href=\"http://h/1\"/><ref "
            "href=\"http://h/2\"/><title>T</title></entry>",
            {"http://h/1|T", "http://h/2|T"});
        row("asx: CDATA and numeric references in titles", F::Asx,
            "<asx><entry><title><![CDATA[Day & Night]]></title><ref href=\"http://h/a\"/></entry>"
            "<entry><title>&#67;af&#xE9; &x; &#xD800;</title><ref href=\"http://h/b\"/>",
            {"http://h/a|Day & Night", QStringLiteral("http://h/b|Café &x; &#xD800;")});
        row("asx: banner and commented ref", F::Asx,
            "<asx><!-- <ref href=\"http://h/x\"/> --><entry><banner href=\"http://h/b.png\"/>"
            "<ref href=\"http://h/a\"/></entry>",
            {"http://h/a|"});
        row("asx: entryref is a playlist", F::Asx, "<asx><EntryRef HREF=\"http://h/more\"/></asx>",
            {"http://h/more||nested"});
        row("asx: entry never closed", F::Asx,
            "<asx><entry><title>Open</title><ref href=mms://h/c>", {"mms://h/c|Open"});
        row("asx: playlist title for the rest", F::Asx,
            "<asx><title>The Station</title><entry><ref href=\"rel.wma\"/></entry>",
            {"http://radio.test:8000/lists/rel.wma|The Station"});
        row("asx: href after fifteen attributes", F::Asx,
            "<asx><ref " + QByteArray("a=1 ").repeated(15) + "href=\"http://h/a\"/>",
            {"http://h/a|"});
        row("asx: a title cut to 1024 characters", F::Asx,
            "<asx><entry><title>" + QByteArray(2000, 'x') + "</title><ref href=\"http://h/a\"/>",
            {"http://h/a|" + QString(1024, 'x')});
        row("asx: utf-16", F::Asx, utf16le("<asx><ref href=\"http://h/a\"/></asx>"),
            {"http://h/a|"});
        row("xspf: every location of a track", F::Xspf,
            "<playlist><trackList><track><title>First</title><location> http://h/1 </location>"
            "<location>http://h/1b</location></track></trackList></playlist>",
            {"http://h/1|First", "http://h/1b|First"});
        row("xspf: the playlist's own location is no track", F::Xspf,
            "<playlist><title>Mine</title><location>http://h/self.xspf</location><trackList><track>"
            "<location>2.ogg</location></track></trackList>",
            {"http://radio.test:8000/lists/2.ogg|Mine"});
        row("xspf: namespace prefixes; the five predefined entities", F::Xspf,
            "<x:playlist xmlns:x=\"http://xspf.org/ns/0/\"><x:trackList><x:track><x:title>&lt;"
            "R&amp;B&gt; &quot;Live&quot; &apos;24&apos;</x:title><x:location>http://h/&lt;a&gt;?q="
            "&quot;x&quot;&amp;n=&apos;y&apos;</x:location><x:location>http://host/s?sid=1&amp;t=2"
            "</x:location></x:track></x:trackList></x:playlist>",
            {"http://h/%3Ca%3E?q=%22x%22&n='y'|<R&B> \"Live\" '24'",
             "http://host/s?sid=1&t=2|<R&B> \"Live\" '24'"});
        row("local: relative to its folder, Windows separators", F::M3u,
            "a b.mp3\n../d.pls\nsub\\c#1.ogg\n",
            {"/srv/lists/a b.mp3|", "/srv/d.pls|", "/srv/lists/sub/c#1.ogg|"}, kLocal);
        row("local: absolute paths and file URLs; a drive letter is nothing here", F::M3u,
            "/abs/e.mp3\nfile:///abs/f%20g.mp3\nD:\\x.mp3\n", {"/abs/e.mp3|", "/abs/f g.mp3|"},
            kLocal);
    }
    void parse() {
        QFETCH(F, format);
        QFETCH(QByteArray, body);
        QFETCH(QUrl, base);
        QFETCH(QStringList, expected);
        QCOMPARE(entries(parsePlaylist(format, body, base)), expected);
    }
    void entryUrls() {
        for (const auto& [written, expected] :
             {std::pair{"ICY://h:8000/", "http://h:8000/"},
              {"mms://h/a", "mms://h/a"},
              {"rtsp://h/a", "rtsp://h/a"},
              {"sub/x.mp3", "http://radio.test:8000/lists/sub/x.mp3"}}) {
            QCOMPARE(playableUrl(QString::fromLatin1(written), kWeb), QUrl(expected));
        }
        for (const char* bad :
             {"   ", "http://", "http:///path", "http://exa mple/", "javascript:x",
              "data:audio/mpeg;base64,AA", "ftp://h/a", "Now playing: x", "<ref href=x>",
              "http://h/\x01", "C:\\Music\\a.mp3", "file:///etc/passwd"}) {
            QVERIFY2(playableUrl(QString::fromLatin1(bad), kWeb).isEmpty(), bad);
        }
    }
    void mediaUrls() {
        for (const auto& [written, expected, fetchable] :
             {std::tuple{" /srv/a b.pls ", QUrl::fromLocalFile("/srv/a b.pls"), true},
              {"icy://h:8000/x", QUrl("http://h:8000/x"), true},
              {"https://h/x", QUrl("https://h/x"), true},
              {"mms://h/x", QUrl("mms://h/x"), false}}) {
            QCOMPARE(toMediaUrl(QString::fromLatin1(written)), expected);
            QCOMPARE(isFetchable(expected), fetchable);
        }
    }
    void nothingPlayableIsAnErrorWithAReason() {
        for (const auto& [format, unusable] : QList<std::pair<F, QByteArray>>{
                 {F::Pls, "[playlist]\nFile1=\nFile2=garbage://\nTitle3=Title only\n"},
                 {F::M3u, "#EXTM3U\n#EXTINF:-1,Title only\nNow playing: \"x\"\nhttp://\n"},
                 {F::Asx, "<asx><entry><ref/><ref href=\"\"/><ref href=\"x y\"></entry>"},
                 {F::Xspf, "<playlist><trackList><track><location/></track>"}}) {
            for (const QByteArray& body :
                 {QByteArray(), unusable, QByteArray("<<>>&&;;<![CDATA[<!--"),
                  QByteArray("<a b=\"open"), QByteArray("\xEF\xBB\xBF\r\n")}) {
                const PlaylistParse parse = parsePlaylist(format, body, kWeb);
                QVERIFY2(parse.entries.isEmpty(), body.constData());
                QCOMPARE(parse.error, QStringLiteral("playlist has no playable entries"));
                QCOMPARE(parse.errorKind, PlaylistError::NoEntries);
            }
        }
    }
    void capsAndNonLists() {
        // The first 256 playable entries count; unplayable ones do not use up the room.
        const QByteArray junk = QByteArray("ftp://h/x\n").repeated(1000);
        const QByteArray good = QByteArray("http://h/s\n").repeated(300);
        QCOMPARE(parsePlaylist(F::M3u, junk + good, kWeb).entries.size(), 256);
        QCOMPARE(parsePlaylist(F::M3u, junk + "http://h/last\n", kWeb).entries.size(), 1);
        // Media is never read as a list; HLS is played as it is.
        const PlaylistParse media =
            parsePlaylist(F::M3u, QByteArray("ID3\3\0\0http://h/a", 16), kWeb);
        QCOMPARE(media.errorKind, PlaylistError::NotPlaylist);
        QCOMPARE(entries(parsePlaylist(F::Hls, "#EXTM3U\n", kWeb)),
                 QStringList({kWeb.toString() + '|'}));
    }
};

QTEST_GUILESS_MAIN(TestParsers)
#include "tst_parsers.moc"
