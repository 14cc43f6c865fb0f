// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlists/PlaylistParser.h"

#include "playlists/PlaylistText.h"
#include "playlists/UrlRules.h"

namespace orvane {

bool EntryList::add(QStringView written, QStringView title, bool playlist) {
    if (isFull()) {
        return false;
    }
    const QUrl url = playableUrl(written, m_base);
    if (url.isValid()) {
        m_result.entries.append(
            {url, title.left(kMaxTitleLength).toString().simplified(), playlist});
    }
    return !isFull();
}

void EntryList::setPlaylistTitle(QStringView title) {
    if (m_playlistTitle.isEmpty()) {
        m_playlistTitle = title.left(kMaxTitleLength).toString().simplified();
    }
}

PlaylistParse EntryList::take() {
    for (PlaylistEntry& entry : m_result.entries) {
        if (entry.title.isEmpty()) {
            entry.title = m_playlistTitle;
        }
    }
    if (m_result.entries.isEmpty()) {
        m_result.error = QStringLiteral("playlist has no playable entries");
        m_result.errorKind = PlaylistError::NoEntries;
    }
    return std::move(m_result);
}

PlaylistParse PlaylistParser::parse(QByteArrayView body, const QUrl& base) const {
    EntryList entries(base);
    read(decodePlaylistText(body), entries);
    return entries.take();
}

const QList<const PlaylistParser*>& playlistParsers() {
    // PLS, M3U and the XML formats start differently; HLS must be asked before M3U.
    static const QList<const PlaylistParser*> all = {&plsParser(), &hlsParser(), &m3uParser(),
                                                     &asxParser(), &xspfParser()};
    return all;
}

const PlaylistParser* parserFor(PlaylistFormat format) {
    for (const PlaylistParser* parser : playlistParsers()) {
        if (parser->format() == format) {
            return parser;
        }
    }
    return nullptr;
}

bool startsWithCi(QStringView text, QLatin1StringView prefix) {
    return text.startsWith(prefix, Qt::CaseInsensitive);
}

}  // namespace orvane
