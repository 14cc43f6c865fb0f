// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QUrl>

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

struct PlaylistParse {
    QList<PlaylistEntry> entries;  // in playlist order, unusable ones dropped
    QString error;                 // set exactly when entries is empty
};

// The largest playlist anyone fetches; a bigger body is not a station list.
inline constexpr qint64 kMaxPlaylistBytes = 1024 * 1024;

// By media type ("; charset=..." and case ignored). Also accepts the caps names GStreamer's
// typefinder gives playlists. NotPlaylist when the type says nothing about playlists.
PlaylistFormat formatFromContentType(QByteArrayView contentType);

// By the path's extension (.pls .m3u .m3u8 .asx .wax .wvx .xspf), case-insensitive; the query
// and fragment are ignored. An .m3u8 answers M3u: only its body tells HLS from a station list.
PlaylistFormat formatFromUrl(const QUrl& url);

// Cheap test before opening anything: does the URL name a playlist file?
bool looksLikePlaylistUrl(const QUrl& url);
bool looksLikePlaylistUrl(const QString& url);

// Audio, video or other binary data rather than text (MP3/ADTS frames, ID3, Ogg, FLAC, ASF, MP4,
// NUL bytes, mostly control characters). Looks at the first few KiB only.
bool looksBinary(QByteArrayView head);

// A type that announces audio or video data, not a playlist (audio/mpeg, application/ogg...).
bool isMediaContentType(QByteArrayView contentType);

// From the bytes alone; NotPlaylist when they carry no recognisable signature. HLS needs the
// whole body (or at least its tags) to be told from a station list.
PlaylistFormat sniffPlaylistFormat(QByteArrayView body);

// The body decides first (binary data and web pages are never playlists; a signature wins over
// what the server claims), then the content type, then the URL's extension.
PlaylistFormat detectPlaylistFormat(QByteArrayView contentType, const QUrl& url,
                                    QByteArrayView body);

// Parses a body of the given format. base is where the playlist came from (after redirects):
// relative entries resolve against it, and a local playlist's bare or Windows-style paths
// resolve against its folder. Hls yields the base itself; NotPlaylist is an error.
PlaylistParse parsePlaylist(PlaylistFormat format, QByteArrayView body, const QUrl& base);

// Turns one entry as written into a URL a player can open, or an invalid QUrl when it is not
// usable: empty, unresolvable, a scheme we do not play, or a local file named by a remote
// playlist. icy:// becomes http://.
QUrl playableUrl(const QString& written, const QUrl& base);

// What a user wrote as a source: an absolute local path becomes a file:// URL, icy:// becomes
// http://, anything else is read as a URL.
QUrl toMediaUrl(const QString& text);

// The URL as text for comparisons and loop detection: fragment dropped, fully encoded.
QString urlKey(const QUrl& url);

}  // namespace orvane
