// SPDX-License-Identifier: GPL-3.0-or-later
// Format detection as the resolver meets it: a Content-Type header, the URL (after redirects)
// and the first bytes of the body, all three from the server. Input: one length byte for the
// content type, one for the URL, the two texts, then the body.
#include <cstdint>

#include "FuzzInput.h"
#include "playlists/Playlist.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    const std::size_t typeLength = in.byte();
    const std::size_t urlLength = in.byte();
    const QByteArrayView contentType = in.take(typeLength);
    const QString urlText = QString::fromUtf8(in.take(urlLength));
    const QByteArrayView body = in.rest();
    const QUrl url(urlText);
    const PlaylistFormat format = detectPlaylistFormat(contentType, url, body);
    fuzz::check(format >= PlaylistFormat::NotPlaylist && format <= PlaylistFormat::Xspf,
                "a known format");
    // Binary data is never taken for a playlist, whatever the server claims.
    fuzz::check(!looksBinary(body) || format == PlaylistFormat::NotPlaylist,
                "binary bodies are not playlists");
    // The cheaper pieces the resolver also calls on the same untrusted text.
    (void)formatFromContentType(contentType);
    (void)formatFromUrl(url);
    (void)looksLikePlaylistUrl(urlText);
    (void)isMediaContentType(contentType);
    const QUrl playable = playableUrl(QString::fromUtf8(body.first(qMin(body.size(), 2048))), url);
    fuzz::check(!playable.isValid() || !playable.isRelative(), "playable URLs are absolute");
    (void)toMediaUrl(urlText);
    return 0;
}
