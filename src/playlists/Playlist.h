// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QUrl>

#include "playlists/UrlRules.h"

namespace orvane {

// Stations mostly publish playlist links rather than the stream itself. This unit knows the
// playlist formats and turns a playlist's bytes into stream URLs; it does no I/O, so everything
// here can be checked on text alone. PlaylistResolver does the fetching.

enum class PlaylistFormat {
    NotPlaylist,  // a stream, a web page, anything we cannot read as a station list
    Pls,          // [playlist] File1=... (also the old [Reference] Ref1=... variant)
    M3u,          // plain or extended M3U, and bare lists of URLs (text/uri-list)
    Hls,          // an HLS media or master playlist: not a station list, playbin plays the URL
    Asx,          // Windows Media <asx> metafile
    Xspf,         // <playlist xmlns="http://xspf.org/ns/0/">
};

struct PlaylistEntry {
    QUrl url;       // absolute, one of the schemes that playableUrl() accepts
    QString title;  // as the playlist names the entry; empty when it does not
    // The playlist says this entry is itself a playlist (ASX <entryref>), whatever its name.
    bool playlist = false;

    bool operator==(const PlaylistEntry&) const = default;
};

// Why a playlist gave no streams, for code that must tell the cases apart; the text beside it is
// for people.
enum class PlaylistError {
    None,
    NotPlaylist,  // the body is media, a web page or other data, not a station list
    NoEntries,    // a station list without a playable entry
    TooLarge,     // over kMaxPlaylistBytes
    Fetch,        // the download or the read failed: network, HTTP status, file, time
    Certificate,  // the server's TLS certificate was refused (the result says why)
    Nesting,      // playlists in a loop, nested too deep, or too many of them
    InvalidUrl,   // nothing that could be fetched
};

struct PlaylistParse {
    QList<PlaylistEntry> entries;  // in playlist order, unusable ones dropped
    QString error;                 // set exactly when entries is empty
    PlaylistError errorKind = PlaylistError::None;
};

// The largest playlist anyone fetches; a bigger body is not a station list.
inline constexpr qint64 kMaxPlaylistBytes = 1024 * 1024;

// By media type ("; charset=..." and case ignored). Also accepts the caps names GStreamer's
// typefinder gives playlists. NotPlaylist when the type says nothing about playlists.
PlaylistFormat formatFromContentType(QByteArrayView contentType);

// By the path's extension (see looksLikePlaylistUrl()). An .m3u8 answers M3u: only its body
// tells HLS from a station list.
PlaylistFormat formatFromUrl(const QUrl& url);

// Cheap test before opening anything: does the URL's path end in a playlist's extension (.pls
// .m3u .m3u8 .asx .wax .wvx .xspf, any case; the query and fragment do not count)?
bool looksLikePlaylistUrl(const QUrl& url);

// Audio, video or other binary data rather than text (MP3/ADTS frames, ID3, Ogg, FLAC, ASF, MP4,
// NUL bytes, mostly control characters). Looks at the first few KiB only.
bool looksBinary(QByteArrayView head);

// A type that announces audio or video data, not a playlist (audio/mpeg, application/ogg...).
bool isMediaContentType(QByteArrayView contentType);

// The body decides first (binary data and web pages are never playlists; a signature wins over
// what the server claims), then the content type, then the URL's extension.
PlaylistFormat detectPlaylistFormat(QByteArrayView contentType, const QUrl& url,
                                    QByteArrayView body);

// Parses a body of the given format. base is where the playlist came from (after redirects):
// relative entries resolve against it, and a local playlist's bare or Windows-style paths
// resolve against its folder. Hls yields the base itself; NotPlaylist is an error. At most the
// first 256 playable entries are kept.
PlaylistParse parsePlaylist(PlaylistFormat format, QByteArrayView body, const QUrl& base);

}  // namespace orvane
