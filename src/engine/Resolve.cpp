// SPDX-License-Identifier: GPL-3.0-or-later
// The engine's side of playlists: fetching one, reading undecodable data as one, and the
// streams of one tried in order.
#include <QLoggingCategory>

#include "engine/GstEngine.h"

Q_DECLARE_LOGGING_CATEGORY(lcEngine)

namespace orvane {

void GstEngine::startResolve(const QUrl& url, bool knownPlaylist) {
    if (!m_resolver) {
        m_resolver = std::make_unique<PlaylistResolver>();
        QObject::connect(m_resolver.get(), &PlaylistResolver::finished, &m_context,
                         [this](const PlaylistResult& result) { onResolved(result); });
    }
    m_resolving = true;
    m_probing = knownPlaylist;
    if (knownPlaylist) {
        m_resolver->resolveKnownPlaylist(url);
    } else {
        m_resolver->resolve(url);
    }
}

void GstEngine::cancelResolve() {
    if (m_resolver) {
        m_resolver->cancel();
    }
    m_resolving = false;
    m_probing = false;
}

bool GstEngine::readAsPlaylist(const StreamError& error) {
    // Many stations link a playlist under a name like /listen or /stream. The pipeline gives up
    // on it as undecodable; read it as a playlist once before calling it an error.
    if (!m_directOpen || !isUnknownData(error)) {
        return false;
    }
    m_directOpen = false;
    const QUrl url = toMediaUrl(m_url);
    if (!isFetchable(url)) {
        return false;
    }
    dropFeed();
    m_player->close();
    m_probeReason = error;
    startResolve(url, true);
    return true;
}

void GstEngine::onResolved(const PlaylistResult& result) {
    if (!m_resolving) {
        return;
    }
    const bool probing = m_probing;
    m_resolving = false;
    m_probing = false;
    switch (result.kind) {
        case PlaylistResult::Kind::Streams:
            m_entries = result.streams;
            m_round = 0;
            playEntry(0);
            break;
        case PlaylistResult::Kind::PlayAsIs:
            // HLS (or media behind a playlist's name): playbin's demuxer does the rest. The URL
            // as written is then what plays.
            forgetEntry();
            startMain(result.url.toString(QUrl::FullyEncoded).toUtf8(), false);
            break;
        case PlaylistResult::Kind::Error: {
            // Undecodable data that is no playlist either: what the pipeline said about it is
            // the better reason. Neither changes by trying again; a server that is down does.
            const bool notPlaylist = result.errorKind == PlaylistError::NotPlaylist;
            const StreamError reason = result.errorKind == PlaylistError::Certificate
                                           ? StreamError::untrusted(result.certificate)
                                           : StreamError::plain(result.error);
            if (m_wanted && !notPlaylist) {
                reconnect(reason);
                break;
            }
            forgetEntry();
            fail(probing && notPlaylist ? m_probeReason : reason);
            break;
        }
    }
}

void GstEngine::playEntry(int index) {
    m_directOpen = false;
    m_entry = index;
    m_entryUrl = m_entries.at(index).url;
    m_entryTitle = m_entries.at(index).title;
    startMain(m_entryUrl.toString(QUrl::FullyEncoded).toUtf8(), true);
}

void GstEngine::forgetEntry() {
    m_entries.clear();
    m_entry = -1;
    m_entryUrl.clear();
    m_entryTitle.clear();
}

}  // namespace orvane
