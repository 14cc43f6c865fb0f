// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlists/Playlist.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QStringDecoder>
#include <cctype>
#include <map>

#include "platform/CodePage.h"

namespace orvane {

namespace {

// Enough of the start of a body to tell text from media.
constexpr qsizetype kSniffBytes = 4096;

QByteArray mediaType(QByteArrayView contentType) {
    QByteArrayView type = contentType;
    if (const qsizetype semi = type.indexOf(';'); semi >= 0) {
        type = type.first(semi);
    }
    return type.trimmed().toByteArray().toLower();
}

QString extensionOf(const QUrl& url) {
    // path() is decoded and never holds the query or the fragment.
    const QString path = url.path();
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot < slash) {
        return {};
    }
    return path.mid(dot + 1).toLower();
}

bool startsWithCi(QStringView text, QLatin1StringView prefix) {
    return text.startsWith(prefix, Qt::CaseInsensitive);
}

bool hasUtf16Bom(QByteArrayView bytes) {
    return bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF");
}

// Splits into lines on CR, LF or both; each line is UTF-8 where it is valid UTF-8 and the
// Windows code page otherwise, which is what hand-made playlists in the wild are written in.
// Windows tools sometimes write ASX as UTF-16 with a byte-order mark.
QStringList decodeLines(QByteArrayView body) {
    QStringList lines;
    if (hasUtf16Bom(body)) {
        QStringDecoder decoder(body.startsWith("\xFF\xFE") ? QStringDecoder::Utf16LE
                                                           : QStringDecoder::Utf16BE);
        const QString text = decoder.decode(body.sliced(2));
        qsizetype start = 0;
        for (qsizetype i = 0; i <= text.size(); ++i) {
            if (i == text.size() || text[i] == QLatin1Char('\n') || text[i] == QLatin1Char('\r')) {
                lines.append(text.mid(start, i - start));
                start = i + 1;
            }
        }
        return lines;
    }
    if (body.startsWith("\xEF\xBB\xBF")) {
        body = body.sliced(3);
    }
    qsizetype start = 0;
    for (qsizetype i = 0; i <= body.size(); ++i) {
        if (i == body.size() || body[i] == '\n' || body[i] == '\r') {
            lines.append(decodeTextLine(body.sliced(start, i - start)));
            start = i + 1;
        }
    }
    return lines;
}

QString decodeText(QByteArrayView body) {
    return decodeLines(body).join(QLatin1Char('\n'));
}

// The start of the body as text, without a byte-order mark and leading blanks.
QString textHead(QByteArrayView body) {
    QString text = decodeText(body.first(std::min(body.size(), kSniffBytes)));
    if (text.startsWith(QChar(0xFEFF))) {
        text.remove(0, 1);
    }
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace()) {
        ++i;
    }
    return text.mid(i);
}

// The name of the first element, lower-case, skipping the XML declaration, comments and a
// doctype.
QString firstElementName(QStringView text) {
    qsizetype i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i].isSpace()) {
            ++i;
        }
        if (i >= text.size() || text[i] != QLatin1Char('<')) {
            return {};
        }
        const QStringView rest = text.sliced(i);
        if (rest.startsWith(QLatin1StringView("<!--"))) {
            const qsizetype end = text.indexOf(QLatin1StringView("-->"), i + 4);
            if (end < 0) {
                return {};
            }
            i = end + 3;
        } else if (rest.startsWith(QLatin1StringView("<?")) ||
                   rest.startsWith(QLatin1StringView("<!"))) {
            const qsizetype end = text.indexOf(QLatin1Char('>'), i);
            if (end < 0) {
                return {};
            }
            i = end + 1;
        } else {
            qsizetype j = i + 1;
            while (j < text.size() && !text[j].isSpace() && text[j] != QLatin1Char('>') &&
                   text[j] != QLatin1Char('/')) {
                ++j;
            }
            QString name = text.sliced(i + 1, j - i - 1).toString().toLower();
            if (const qsizetype colon = name.indexOf(QLatin1Char(':')); colon >= 0) {
                name = name.mid(colon + 1);
            }
            return name;
        }
    }
    return {};
}

bool looksLikeHtml(QStringView head) {
    return startsWithCi(head, QLatin1StringView("<!doctype html")) ||
           firstElementName(head) == QLatin1StringView("html");
}

// HLS: the first line is #EXTM3U and at least one line carries an #EXT-X- tag.
bool isHls(QByteArrayView body) {
    const QStringList lines = decodeLines(body);
    bool header = false;
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty()) {
            continue;
        }
        if (!header) {
            if (!startsWithCi(line, QLatin1StringView("#EXTM3U"))) {
                return false;
            }
            header = true;
            continue;
        }
        if (startsWithCi(line, QLatin1StringView("#EXT-X-"))) {
            return true;
        }
    }
    return false;
}

// "scheme:" at the start of an entry, at least two letters so that C:\ is not one.
qsizetype schemeLength(QStringView text) {
    if (text.isEmpty() || !text[0].isLetter() || text[0].unicode() > 0x7F) {
        return 0;
    }
    for (qsizetype i = 1; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u':') {
            return i >= 2 ? i : 0;
        }
        const bool ok =
            (c < 0x80 && std::isalnum(static_cast<int>(c))) || c == u'+' || c == u'-' || c == u'.';
        if (!ok) {
            return 0;
        }
    }
    return 0;
}

bool isPlayableScheme(const QString& scheme) {
    static const QStringList schemes = {
        QStringLiteral("http"),  QStringLiteral("https"), QStringLiteral("file"),
        QStringLiteral("mms"),   QStringLiteral("mmsh"),  QStringLiteral("mmst"),
        QStringLiteral("rtsp"),  QStringLiteral("rtsps"), QStringLiteral("rtspt"),
        QStringLiteral("rtspu"), QStringLiteral("rtmp"),  QStringLiteral("rtmps"),
    };
    return schemes.contains(scheme);
}

// SHOUTcast's "icy://host:port/" names a plain HTTP stream.
QUrl mapIcy(QUrl url) {
    if (url.scheme() == QLatin1StringView("icy")) {
        url.setScheme(QStringLiteral("http"));
    }
    return url;
}

QString cleanTitle(const QString& title) {
    return title.simplified();
}

// ---- PLS -------------------------------------------------------------------------------------

// "File12" -> 12 for the given key prefix; 0 when the key is something else.
qulonglong keyIndex(QStringView key, QLatin1StringView prefix) {
    if (!key.startsWith(prefix, Qt::CaseInsensitive) || key.size() == prefix.size()) {
        return 0;
    }
    bool ok = false;
    const QStringView digits = key.sliced(prefix.size());
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return 0;
        }
    }
    const qulonglong n = digits.toULongLong(&ok);
    return ok ? n : 0;
}

QList<std::pair<QString, QString>> parsePls(QByteArrayView body) {
    // Entries come in the order of their numbers, not of the lines; NumberOfEntries is often
    // wrong, so the keys present are what counts. A number seen twice keeps its first value.
    std::map<qulonglong, QString> files;
    std::map<qulonglong, QString> titles;
    for (const QString& raw : decodeLines(body)) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char('['))) {
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            continue;
        }
        const QStringView key = QStringView(line).first(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (qulonglong n = keyIndex(key, QLatin1StringView("file")); n > 0) {
            files.emplace(n, value);
        } else if (n = keyIndex(key, QLatin1StringView("ref")); n > 0) {
            files.emplace(n, value);
        } else if (n = keyIndex(key, QLatin1StringView("title")); n > 0) {
            titles.emplace(n, value);
        }
    }
    QList<std::pair<QString, QString>> out;
    for (const auto& [n, file] : files) {
        const auto title = titles.find(n);
        out.append({file, title == titles.end() ? QString() : title->second});
    }
    return out;
}

// ---- M3U -------------------------------------------------------------------------------------

// "#EXTINF:-1 tvg-name="a, b" group-title="x",Station Name": the title follows the first comma
// outside quotes.
QString extinfTitle(QStringView directive) {
    bool quoted = false;
    for (qsizetype i = 0; i < directive.size(); ++i) {
        if (directive[i] == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (directive[i] == QLatin1Char(',') && !quoted) {
            return directive.sliced(i + 1).toString();
        }
    }
    return {};
}

QList<std::pair<QString, QString>> parseM3u(QByteArrayView body, QString* playlistTitle) {
    QList<std::pair<QString, QString>> out;
    QString pendingTitle;
    for (const QString& raw : decodeLines(body)) {
        const QString line = raw.trimmed();
        if (line.isEmpty()) {
            continue;
        }
        if (line.startsWith(QLatin1Char('#'))) {
            if (startsWithCi(line, QLatin1StringView("#EXTINF:"))) {
                pendingTitle = extinfTitle(QStringView(line).sliced(8));
            } else if (startsWithCi(line, QLatin1StringView("#PLAYLIST:"))) {
                *playlistTitle = line.mid(10);
            }
            continue;
        }
        out.append({line, pendingTitle});
        pendingTitle.clear();
    }
    return out;
}

// ---- ASX and XSPF ----------------------------------------------------------------------------

// ASX files are XML in name only: upper-case tags, unquoted attributes and raw '&' in URLs are
// common, so a strict XML reader would reject many real ones. This scanner splits the text into
// tags and text and never fails; XSPF goes through it too.
struct XmlToken {
    enum Type { Open, Close, Text } type = Text;
    QString name;                        // lower-case, namespace prefix dropped
    QHash<QString, QString> attributes;  // lower-case names
    bool selfClosing = false;
    QString text;
};

QString decodeEntities(QStringView text) {
    if (!text.contains(QLatin1Char('&'))) {
        return text.toString();
    }
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != QLatin1Char('&')) {
            out.append(text[i]);
            continue;
        }
        const qsizetype semi = text.indexOf(QLatin1Char(';'), i + 1);
        if (semi < 0 || semi - i > 10) {
            out.append(text[i]);
            continue;
        }
        const QStringView name = text.sliced(i + 1, semi - i - 1);
        QString decoded;
        if (name == QLatin1StringView("amp")) {
            decoded = QStringLiteral("&");
        } else if (name == QLatin1StringView("lt")) {
            decoded = QStringLiteral("<");
        } else if (name == QLatin1StringView("gt")) {
            decoded = QStringLiteral(">");
        } else if (name == QLatin1StringView("quot")) {
            decoded = QStringLiteral("\"");
        } else if (name == QLatin1StringView("apos")) {
            decoded = QStringLiteral("'");
        } else if (name.startsWith(QLatin1Char('#'))) {
            bool ok = false;
            const uint code =
                name.size() > 1 && (name[1] == QLatin1Char('x') || name[1] == QLatin1Char('X'))
                    ? name.sliced(2).toUInt(&ok, 16)
                    : name.sliced(1).toUInt(&ok, 10);
            if (ok && code > 0 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF)) {
                const char32_t c = code;
                decoded = QString::fromUcs4(&c, 1);
            }
        }
        if (decoded.isNull()) {
            out.append(text[i]);  // a bare '&' in a URL: keep it as written
            continue;
        }
        out.append(decoded);
        i = semi;
    }
    return out;
}

QString localName(QStringView name) {
    const qsizetype colon = name.lastIndexOf(QLatin1Char(':'));
    return (colon >= 0 ? name.sliced(colon + 1) : name).toString().toLower();
}

bool isNameChar(QChar c) {
    return !c.isSpace() && c != QLatin1Char('>') && c != QLatin1Char('/') &&
           c != QLatin1Char('=') && c != QLatin1Char('<');
}

void parseAttributes(QStringView tag, XmlToken* token) {
    qsizetype i = 0;
    while (i < tag.size()) {
        while (i < tag.size() && (tag[i].isSpace() || tag[i] == QLatin1Char('/'))) {
            ++i;
        }
        const qsizetype nameStart = i;
        while (i < tag.size() && isNameChar(tag[i])) {
            ++i;
        }
        if (i == nameStart) {
            ++i;  // a stray character: skip it
            continue;
        }
        const QString name = localName(tag.sliced(nameStart, i - nameStart));
        while (i < tag.size() && tag[i].isSpace()) {
            ++i;
        }
        QString value;
        if (i < tag.size() && tag[i] == QLatin1Char('=')) {
            ++i;
            while (i < tag.size() && tag[i].isSpace()) {
                ++i;
            }
            if (i < tag.size() && (tag[i] == QLatin1Char('"') || tag[i] == QLatin1Char('\''))) {
                const QChar quote = tag[i];
                const qsizetype end = tag.indexOf(quote, i + 1);
                const qsizetype stop = end < 0 ? tag.size() : end;
                value = decodeEntities(tag.sliced(i + 1, stop - i - 1));
                i = stop + 1;
            } else {
                const qsizetype start = i;
                while (i < tag.size() && !tag[i].isSpace()) {
                    ++i;
                }
                value = decodeEntities(tag.sliced(start, i - start));
            }
        }
        token->attributes.insert(name, value);
    }
}

QList<XmlToken> scanXml(const QString& text) {
    QList<XmlToken> tokens;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto addText = [&tokens](QStringView raw) {
        if (!raw.isEmpty()) {
            tokens.append({XmlToken::Text, {}, {}, false, decodeEntities(raw)});
        }
    };
    while (i < n) {
        if (text[i] != QLatin1Char('<')) {
            qsizetype end = text.indexOf(QLatin1Char('<'), i);
            if (end < 0) {
                end = n;
            }
            addText(QStringView(text).sliced(i, end - i));
            i = end;
            continue;
        }
        const QStringView rest = QStringView(text).sliced(i);
        if (rest.startsWith(QLatin1StringView("<!--"))) {
            const qsizetype end = text.indexOf(QLatin1StringView("-->"), i + 4);
            i = end < 0 ? n : end + 3;
        } else if (rest.startsWith(QLatin1StringView("<![CDATA["))) {
            const qsizetype end = text.indexOf(QLatin1StringView("]]>"), i + 9);
            const qsizetype stop = end < 0 ? n : end;
            tokens.append({XmlToken::Text, {}, {}, false, text.mid(i + 9, stop - i - 9)});
            i = end < 0 ? n : end + 3;
        } else if (rest.startsWith(QLatin1StringView("<?")) ||
                   rest.startsWith(QLatin1StringView("<!"))) {
            const qsizetype end = text.indexOf(QLatin1Char('>'), i);
            i = end < 0 ? n : end + 1;
        } else {
            const bool closing = rest.size() > 1 && rest[1] == QLatin1Char('/');
            const qsizetype nameStart = i + (closing ? 2 : 1);
            qsizetype j = nameStart;
            while (j < n && isNameChar(text[j])) {
                ++j;
            }
            if (j == nameStart) {
                addText(QStringView(text).sliced(i, 1));  // "<" that opens no tag
                ++i;
                continue;
            }
            // The tag ends at the first '>' outside quotes.
            qsizetype end = j;
            QChar quote;
            while (end < n && (text[end] != QLatin1Char('>') || !quote.isNull())) {
                if (quote.isNull() &&
                    (text[end] == QLatin1Char('"') || text[end] == QLatin1Char('\''))) {
                    quote = text[end];
                } else if (text[end] == quote) {
                    quote = QChar();
                }
                ++end;
            }
            XmlToken token;
            token.type = closing ? XmlToken::Close : XmlToken::Open;
            token.name = localName(QStringView(text).sliced(nameStart, j - nameStart));
            const QStringView inside = QStringView(text).sliced(j, std::min(end, n) - j);
            token.selfClosing = inside.trimmed().endsWith(QLatin1Char('/'));
            if (!closing) {
                parseAttributes(inside, &token);
            }
            tokens.append(std::move(token));
            i = end < n ? end + 1 : n;
        }
    }
    return tokens;
}

struct XmlEntry {
    QString url;
    QString title;
    bool playlist = false;
};

// <asx><title>Station</title><entry><title>..</title><ref href=".."/>..</entry>
// <entryref href=".."/></asx>. Every ref of an entry counts, in order: they are alternatives
// for the same programme.
QList<XmlEntry> parseAsx(const QString& text, QString* playlistTitle) {
    QList<XmlEntry> out;
    bool inEntry = false;
    QList<XmlEntry> refs;
    QString entryTitle;
    bool inTitle = false;
    QString titleText;
    auto flush = [&] {
        for (XmlEntry& ref : refs) {
            ref.title = entryTitle;
            out.append(ref);
        }
        refs.clear();
        entryTitle.clear();
        inEntry = false;
    };
    for (const XmlToken& token : scanXml(text)) {
        if (token.type == XmlToken::Text) {
            if (inTitle) {
                titleText += token.text;
            }
            continue;
        }
        const bool open = token.type == XmlToken::Open;
        if (token.name == QLatin1StringView("entry")) {
            if (inEntry) {
                flush();
            }
            inEntry = open && !token.selfClosing;
        } else if (token.name == QLatin1StringView("title")) {
            if (open && !token.selfClosing) {
                inTitle = true;
                titleText.clear();
            } else if (!open && inTitle) {
                inTitle = false;
                QString* target = inEntry ? &entryTitle : playlistTitle;
                if (target->isEmpty()) {
                    *target = titleText;
                }
            }
        } else if (open && (token.name == QLatin1StringView("ref") ||
                            token.name == QLatin1StringView("entryref"))) {
            XmlEntry ref{token.attributes.value(QStringLiteral("href")),
                         {},
                         token.name == QLatin1StringView("entryref")};
            if (inEntry) {
                refs.append(ref);
            } else {
                out.append(ref);
            }
        }
    }
    if (inEntry) {
        flush();
    }
    return out;
}

// <playlist><title>..</title><trackList><track><location>..</location><title>..</title>
// </track></trackList></playlist>
QList<XmlEntry> parseXspf(const QString& text, QString* playlistTitle) {
    QList<XmlEntry> out;
    bool inTrack = false;
    bool inTrackList = false;
    QStringList locations;
    QString trackTitle;
    enum class Capture { None, Location, Title } capture = Capture::None;
    QString captured;
    auto flush = [&] {
        for (const QString& location : std::as_const(locations)) {
            out.append({location, trackTitle, false});
        }
        locations.clear();
        trackTitle.clear();
    };
    for (const XmlToken& token : scanXml(text)) {
        if (token.type == XmlToken::Text) {
            if (capture != Capture::None) {
                captured += token.text;
            }
            continue;
        }
        const bool open = token.type == XmlToken::Open && !token.selfClosing;
        if (token.name == QLatin1StringView("tracklist")) {
            inTrackList = open;
        } else if (token.name == QLatin1StringView("track")) {
            if (inTrack) {
                flush();
            }
            inTrack = open;
        } else if (token.name == QLatin1StringView("location") ||
                   token.name == QLatin1StringView("title")) {
            const Capture what =
                token.name == QLatin1StringView("location") ? Capture::Location : Capture::Title;
            if (open) {
                capture = what;
                captured.clear();
            } else if (token.type == XmlToken::Close && capture == what) {
                capture = Capture::None;
                if (what == Capture::Location && inTrack) {
                    locations.append(captured.trimmed());
                } else if (what == Capture::Title && inTrack) {
                    trackTitle = captured;
                } else if (what == Capture::Title && !inTrackList && playlistTitle->isEmpty()) {
                    *playlistTitle = captured;
                }
            }
        }
    }
    if (inTrack) {
        flush();
    }
    return out;
}

}  // namespace

PlaylistFormat formatFromContentType(QByteArrayView contentType) {
    static const QHash<QByteArray, PlaylistFormat> types = {
        {"audio/x-scpls", PlaylistFormat::Pls},
        {"audio/scpls", PlaylistFormat::Pls},
        {"application/x-scpls", PlaylistFormat::Pls},
        {"application/pls+xml", PlaylistFormat::Pls},
        {"audio/x-mpegurl", PlaylistFormat::M3u},
        {"audio/mpegurl", PlaylistFormat::M3u},
        {"application/x-mpegurl", PlaylistFormat::M3u},
        {"application/mpegurl", PlaylistFormat::M3u},
        {"application/vnd.apple.mpegurl", PlaylistFormat::M3u},
        {"application/vnd.apple.mpegurl.audio", PlaylistFormat::M3u},
        {"audio/m3u", PlaylistFormat::M3u},
        {"audio/x-m3u", PlaylistFormat::M3u},
        {"text/uri-list", PlaylistFormat::M3u},
        {"application/x-hls", PlaylistFormat::Hls},
        {"video/x-ms-asf", PlaylistFormat::Asx},
        {"video/x-ms-asx", PlaylistFormat::Asx},
        {"audio/x-ms-asx", PlaylistFormat::Asx},
        {"application/x-ms-asx", PlaylistFormat::Asx},
        {"video/x-ms-wax", PlaylistFormat::Asx},
        {"audio/x-ms-wax", PlaylistFormat::Asx},
        {"video/x-ms-wvx", PlaylistFormat::Asx},
        {"application/xspf+xml", PlaylistFormat::Xspf},
    };
    return types.value(mediaType(contentType), PlaylistFormat::NotPlaylist);
}

PlaylistFormat formatFromUrl(const QUrl& url) {
    const QString ext = extensionOf(url);
    if (ext == QLatin1StringView("pls")) {
        return PlaylistFormat::Pls;
    }
    if (ext == QLatin1StringView("m3u") || ext == QLatin1StringView("m3u8")) {
        return PlaylistFormat::M3u;
    }
    if (ext == QLatin1StringView("asx") || ext == QLatin1StringView("wax") ||
        ext == QLatin1StringView("wvx")) {
        return PlaylistFormat::Asx;
    }
    if (ext == QLatin1StringView("xspf")) {
        return PlaylistFormat::Xspf;
    }
    return PlaylistFormat::NotPlaylist;
}

bool looksLikePlaylistUrl(const QUrl& url) {
    return formatFromUrl(url) != PlaylistFormat::NotPlaylist;
}

bool looksLikePlaylistUrl(const QString& url) {
    return looksLikePlaylistUrl(toMediaUrl(url));
}

bool looksBinary(QByteArrayView head) {
    head = head.first(std::min(head.size(), kSniffBytes));
    if (head.isEmpty() || hasUtf16Bom(head)) {
        return false;
    }
    const auto byte = [&head](qsizetype i) { return static_cast<unsigned char>(head[i]); };
    static const char* const magics[] = {
        "ID3",               // MP3 with an ID3v2 tag
        "OggS",              // Ogg (Vorbis, Opus, FLAC)
        "fLaC",              // FLAC
        "RIFF",              // WAV
        "FLV",               // Flash video
        "\x30\x26\xB2\x75",  // ASF, which shares its media type with ASX
        "\x1A\x45\xDF\xA3",  // Matroska, WebM
    };
    for (const char* magic : magics) {
        if (head.startsWith(magic)) {
            return true;
        }
    }
    // MPEG audio frames and ADTS both start with an 11- or 12-bit sync word.
    if (head.size() >= 2 && byte(0) == 0xFF && (byte(1) & 0xE0) == 0xE0) {
        return true;
    }
    if (head.size() >= 8 && head.sliced(4, 4) == "ftyp") {
        return true;
    }
    if (head.contains('\0')) {
        return true;
    }
    qsizetype controls = 0;
    for (qsizetype i = 0; i < head.size(); ++i) {
        const unsigned char c = byte(i);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7F) {
            ++controls;
        }
    }
    // Text has next to no control characters; random bytes have about one in eight.
    return controls * 50 > head.size();
}

bool isMediaContentType(QByteArrayView contentType) {
    if (formatFromContentType(contentType) != PlaylistFormat::NotPlaylist) {
        return false;
    }
    const QByteArray type = mediaType(contentType);
    return type.startsWith("audio/") || type.startsWith("video/") || type == "application/ogg";
}

PlaylistFormat sniffPlaylistFormat(QByteArrayView body) {
    if (looksBinary(body)) {
        return PlaylistFormat::NotPlaylist;
    }
    const QString head = textHead(body);
    if (startsWithCi(head, QLatin1StringView("[playlist]")) ||
        startsWithCi(head, QLatin1StringView("[reference]"))) {
        return PlaylistFormat::Pls;
    }
    if (startsWithCi(head, QLatin1StringView("#EXTM3U"))) {
        return isHls(body) ? PlaylistFormat::Hls : PlaylistFormat::M3u;
    }
    if (head.startsWith(QLatin1Char('<'))) {
        const QString root = firstElementName(head);
        if (root == QLatin1StringView("asx")) {
            return PlaylistFormat::Asx;
        }
        if (root == QLatin1StringView("playlist") &&
            (head.contains(QLatin1StringView("xspf.org/ns/"), Qt::CaseInsensitive) ||
             head.contains(QLatin1StringView("<tracklist"), Qt::CaseInsensitive))) {
            return PlaylistFormat::Xspf;
        }
        return PlaylistFormat::NotPlaylist;
    }
    // A bare list of URLs, or an M3U without its header: the first line that is not a comment
    // is a URL with a scheme we play.
    for (const QString& raw : decodeLines(body.first(std::min(body.size(), kSniffBytes)))) {
        const QString line = raw.trimmed();
        if (line.isEmpty()) {
            continue;
        }
        if (startsWithCi(line, QLatin1StringView("#EXTINF:"))) {
            return PlaylistFormat::M3u;
        }
        if (line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        const qsizetype scheme = schemeLength(line);
        const QString name = line.left(scheme).toLower();
        if (scheme > 0 && line.mid(scheme, 3) == QLatin1StringView("://") &&
            (isPlayableScheme(name) || name == QLatin1StringView("icy"))) {
            return PlaylistFormat::M3u;
        }
        break;
    }
    return PlaylistFormat::NotPlaylist;
}

PlaylistFormat detectPlaylistFormat(QByteArrayView contentType, const QUrl& url,
                                    QByteArrayView body) {
    if (looksBinary(body) || looksLikeHtml(textHead(body))) {
        return PlaylistFormat::NotPlaylist;
    }
    if (const PlaylistFormat sniffed = sniffPlaylistFormat(body);
        sniffed != PlaylistFormat::NotPlaylist) {
        return sniffed;
    }
    PlaylistFormat claimed = formatFromContentType(contentType);
    if (claimed == PlaylistFormat::NotPlaylist) {
        claimed = formatFromUrl(url);
    }
    // The XML formats have a signature the sniffer would have found; without it the body is
    // not what the name promises. M3U and PLS are read leniently: a header is optional.
    if (claimed == PlaylistFormat::Asx || claimed == PlaylistFormat::Xspf) {
        return body.trimmed().isEmpty() ? claimed : PlaylistFormat::NotPlaylist;
    }
    if (claimed == PlaylistFormat::M3u && isHls(body)) {
        return PlaylistFormat::Hls;
    }
    return claimed;
}

QUrl toMediaUrl(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.startsWith(QLatin1Char('/'))) {
        return QUrl::fromLocalFile(trimmed);
    }
    return mapIcy(QUrl(trimmed, QUrl::TolerantMode));
}

QString urlKey(const QUrl& url) {
    return url.adjusted(QUrl::RemoveFragment | QUrl::NormalizePathSegments)
        .toString(QUrl::FullyEncoded);
}

QUrl playableUrl(const QString& written, const QUrl& base) {
    const QString text = written.trimmed();
    if (text.isEmpty()) {
        return {};
    }
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            return {};
        }
    }
    const bool localBase = base.isLocalFile();
    QUrl url;
    if (schemeLength(text) > 0) {
        url = mapIcy(QUrl(text, QUrl::TolerantMode));
    } else if (localBase) {
        // A local playlist names files by path, often Windows-style and relative to itself.
        QString path = text;
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (path.size() >= 2 && path[1] == QLatin1Char(':')) {
            return {};  // a drive letter: nothing on this system
        }
        if (!QDir::isAbsolutePath(path)) {
            path = QFileInfo(base.toLocalFile()).absoluteDir().filePath(path);
        }
        url = QUrl::fromLocalFile(QDir::cleanPath(path));
    } else if (base.isValid() && !base.isRelative()) {
        // A relative reference in a web playlist is a path someone wrote as a URL; with spaces,
        // brackets or quotes in it, it is a stray line of text, not a path.
        for (const QChar c : text) {
            if (c.isSpace() || QStringView(u"<>\"{}|\\^`[]").contains(c)) {
                return {};
            }
        }
        url = base.resolved(QUrl(text, QUrl::TolerantMode));
    } else if (text.startsWith(QLatin1Char('/'))) {
        url = QUrl::fromLocalFile(QDir::cleanPath(text));
    } else {
        return {};
    }
    if (!url.isValid() || url.isRelative() || !isPlayableScheme(url.scheme())) {
        return {};
    }
    if (url.isLocalFile()) {
        // A playlist from the network has no business opening files on this machine.
        if (base.isValid() && !base.isRelative() && !localBase) {
            return {};
        }
        if (url.toLocalFile().isEmpty() || !url.host().isEmpty()) {
            return {};
        }
    } else if (url.host().isEmpty()) {
        return {};
    }
    return url;
}

PlaylistParse parsePlaylist(PlaylistFormat format, QByteArrayView body, const QUrl& base) {
    PlaylistParse result;
    if (format == PlaylistFormat::Hls) {
        result.entries.append({base, {}, false});
        return result;
    }
    if (format == PlaylistFormat::NotPlaylist || looksBinary(body)) {
        result.error = QStringLiteral("not a playlist");
        return result;
    }
    QList<XmlEntry> raw;
    QString playlistTitle;
    switch (format) {
        case PlaylistFormat::Pls:
            for (const auto& [url, title] : parsePls(body)) {
                raw.append({url, title, false});
            }
            break;
        case PlaylistFormat::M3u:
            for (const auto& [url, title] : parseM3u(body, &playlistTitle)) {
                raw.append({url, title, false});
            }
            break;
        case PlaylistFormat::Asx:
            raw = parseAsx(decodeText(body), &playlistTitle);
            break;
        case PlaylistFormat::Xspf:
            raw = parseXspf(decodeText(body), &playlistTitle);
            break;
        case PlaylistFormat::NotPlaylist:
        case PlaylistFormat::Hls:
            break;
    }
    playlistTitle = cleanTitle(playlistTitle);
    for (const XmlEntry& entry : std::as_const(raw)) {
        const QUrl url = playableUrl(entry.url, base);
        if (!url.isValid()) {
            continue;
        }
        QString title = cleanTitle(entry.title);
        result.entries.append({url, title.isEmpty() ? playlistTitle : title, entry.playlist});
    }
    if (result.entries.isEmpty()) {
        result.error = QStringLiteral("playlist has no playable entries");
    }
    return result;
}

}  // namespace orvane
