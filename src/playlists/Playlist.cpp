// SPDX-License-Identifier: GPL-3.0-or-later
// Telling playlists from everything else, and the way into the format parsers.
#include "playlists/Playlist.h"

#include <QHash>

#include "playlists/PlaylistParser.h"
#include "playlists/PlaylistText.h"
#include "playlists/XmlScanner.h"

namespace orvane {

namespace {

// Enough of the start of a body to tell text from media.
constexpr qsizetype kBinarySniffBytes = 4096;

QByteArray mediaType(QByteArrayView contentType) {
    QByteArrayView type = contentType;
    if (const qsizetype semi = type.indexOf(';'); semi >= 0) {
        type = type.first(semi);
    }
    return type.trimmed().toByteArray().toLower();
}

bool looksLikeHtml(QStringView head) {
    return startsWithCi(head, QLatin1StringView("<!doctype html")) ||
           rootElementName(head) == QLatin1StringView("html");
}

// From the bytes alone; NotPlaylist when they carry no format's signature.
PlaylistFormat sniff(QStringView head, QByteArrayView body) {
    for (const PlaylistParser* parser : playlistParsers()) {
        if (parser->detect(head, body)) {
            return parser->format();
        }
    }
    return PlaylistFormat::NotPlaylist;
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
    // path() is decoded and never holds the query or the fragment.
    const QString path = url.path();
    const qsizetype dot = path.lastIndexOf(u'.');
    if (dot < 0 || dot < path.lastIndexOf(u'/')) {
        return PlaylistFormat::NotPlaylist;
    }
    const QString ext = path.mid(dot + 1).toLower();
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
    return ext == QLatin1StringView("xspf") ? PlaylistFormat::Xspf : PlaylistFormat::NotPlaylist;
}

bool looksLikePlaylistUrl(const QUrl& url) {
    return formatFromUrl(url) != PlaylistFormat::NotPlaylist;
}

bool looksBinary(QByteArrayView head) {
    head = head.first(std::min(head.size(), kBinarySniffBytes));
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
    if ((head.size() >= 8 && head.sliced(4, 4) == "ftyp") || head.contains('\0')) {
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

PlaylistFormat detectPlaylistFormat(QByteArrayView contentType, const QUrl& url,
                                    QByteArrayView body) {
    if (looksBinary(body)) {
        return PlaylistFormat::NotPlaylist;
    }
    const QString head = playlistTextHead(body);
    if (looksLikeHtml(head)) {
        return PlaylistFormat::NotPlaylist;
    }
    if (const PlaylistFormat sniffed = sniff(head, body); sniffed != PlaylistFormat::NotPlaylist) {
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
    return claimed;
}

PlaylistParse parsePlaylist(PlaylistFormat format, QByteArrayView body, const QUrl& base) {
    const PlaylistParser* parser = parserFor(format);
    if (!parser || (format != PlaylistFormat::Hls && looksBinary(body))) {
        PlaylistParse result;
        result.error = QStringLiteral("not a playlist");
        result.errorKind = PlaylistError::NotPlaylist;
        return result;
    }
    return parser->parse(body, base);
}

}  // namespace orvane
