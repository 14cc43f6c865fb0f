// SPDX-License-Identifier: GPL-3.0-or-later
// Detection from a server's Content-Type, URL and body. Input: the lengths of the first two (a
// byte each), the two texts, then the body.
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
    fuzz::check(!looksBinary(body) || format == PlaylistFormat::NotPlaylist,
                "binary bodies are not playlists");
    (void)formatFromContentType(contentType);
    (void)formatFromUrl(url);
    (void)looksLikePlaylistUrl(urlText);
    (void)isMediaContentType(contentType);
    const QUrl playable = playableUrl(QString::fromUtf8(body.first(qMin(body.size(), 2048))), url);
    fuzz::check(!playable.isValid() || !playable.isRelative(), "playable URLs are absolute");
    (void)toMediaUrl(urlText);
    return 0;
}
