// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <memory>

#include "playlists/Playlist.h"
#include "playlists/TlsTrust.h"

namespace orvane {

// What a resolve ends in. Exactly one of the three kinds.
struct PlaylistResult {
    enum class Kind {
        Streams,   // streams holds the stream URLs to try, in order; never empty
        PlayAsIs,  // not a station list (an HLS playlist, or plain media): open url unchanged
        Error,     // error holds the reason, fit for "Error: <reason>"
    };
    Kind kind = Kind::Error;
    QUrl url;  // what was asked for, as a URL (a local path becomes file://, icy:// http://)
    QList<PlaylistEntry> streams;
    QString error;
    PlaylistError errorKind = PlaylistError::None;              // None unless kind is Error
    CertificateProblem certificate = CertificateProblem::None;  // with PlaylistError::Certificate
};

// Turns a playlist URL into the flat list of streams it names, on the user-interface thread
// without ever blocking it. http and https are fetched with Qt Network (redirects followed),
// file:// URLs and absolute paths are read on a worker thread, and every body is parsed on one.
// Every download is capped in size and time. Entries that are playlists themselves (by name, or ASX
// <entryref>) are expanded in place, a limited number of levels deep and never in a loop; one that
// fails is dropped and the rest still count, so the caller gets every stream there is to try.
//
// One resolve at a time: a new resolve(), cancel() or destruction abandons the current one,
// closes its connections, and guarantees that its finished() never comes. finished() is always
// delivered from the event loop, never from inside resolve(), so a slot may start the next
// resolve or delete the resolver with deleteLater().
class PlaylistResolver : public QObject {
    Q_OBJECT
  public:
    struct Limits {
        qint64 maxBytes = kMaxPlaylistBytes;  // per download
        int timeoutMs = 10000;                // per download, from request to last byte
        int maxDepth = 5;                     // playlists within playlists, the first counting
        int maxRedirects = 5;                 // per download
        int maxFetches = 32;                  // downloads per resolve, all levels together
        int maxStreams = 100;                 // streams reported; more are never all tried
    };

    explicit PlaylistResolver(QObject* parent = nullptr);
    explicit PlaylistResolver(const Limits& limits, QObject* parent = nullptr);
    ~PlaylistResolver() override;

    // For a URL that names a playlist (see looksLikePlaylistUrl()). The body decides: a
    // station list gives its streams, HLS gives PlayAsIs, and so does audio or video behind a
    // URL whose name does not claim a playlist. The download stops as soon as the headers or
    // the first bytes show media, so a plain stream costs one short connection.
    void resolve(const QUrl& url);

    // For a URL the caller has already found to serve a playlist (e.g. GStreamer's typefinder
    // reported audio/x-scpls, text/uri-list, application/xspf+xml or video/x-ms-asf without
    // ASF data). Whatever the body is, it must be a station list or HLS; anything else is an
    // error rather than PlayAsIs, so the caller cannot loop between the two.
    void resolveKnownPlaylist(const QUrl& url);

    // Abandons the current resolve, if any. No finished() follows.
    void cancel();

    bool isBusy() const;

  signals:
    void finished(const orvane::PlaylistResult& result);

  private:
    void start(const QUrl& url, bool knownPlaylist);

    class Private;
    std::unique_ptr<Private> d;
};

}  // namespace orvane
