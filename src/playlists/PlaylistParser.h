// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>
#include <QStringView>
#include <QUrl>

#include "playlists/Playlist.h"

namespace orvane {

// One reader per playlist format, behind one interface: detect() on the start of a body, parse()
// on all of it. The facade in Playlist.h picks among them.

// A playlist keeps its first this many playable entries. The resolver never reports more than
// 100 streams nor fetches more than 32 nested playlists, so later entries are never reached; the
// cap keeps a 1 MiB list of tiny URLs from costing tens of megabytes of QUrl.
inline constexpr qsizetype kMaxPlaylistEntries = 256;

// Titles are cut to this many characters: a label shows a few dozen, and an XML title of a
// megabyte of entities need not be decoded whole.
inline constexpr qsizetype kMaxTitleLength = 1024;

// Collects a playlist's entries as the parser meets them, keeping the playable ones in order.
class EntryList {
  public:
    explicit EntryList(const QUrl& base) : m_base(base) {}

    // False once the list is full: the parser may stop reading.
    bool add(QStringView written, QStringView title, bool playlist = false);
    bool isFull() const { return m_result.entries.size() >= kMaxPlaylistEntries; }
    // The playlist's own name, for entries without one. The first one given counts.
    void setPlaylistTitle(QStringView title);
    PlaylistParse take();

  private:
    QUrl m_base;
    QString m_playlistTitle;
    PlaylistParse m_result;
};

class PlaylistParser {
  public:
    virtual ~PlaylistParser() = default;
    virtual PlaylistFormat format() const = 0;
    // head: the decoded start of the body without a byte-order mark or leading blanks. HLS looks
    // at the whole body, which it needs to tell itself from a station list.
    virtual bool detect(QStringView head, QByteArrayView body) const = 0;
    // Entries resolve against base (see playableUrl()).
    virtual PlaylistParse parse(QByteArrayView body, const QUrl& base) const;

  protected:
    // Reads the decoded body into entries.
    virtual void read(QStringView text, EntryList& entries) const = 0;
};

const PlaylistParser& plsParser();
const PlaylistParser& m3uParser();
const PlaylistParser& hlsParser();
const PlaylistParser& asxParser();
const PlaylistParser& xspfParser();

// Every format's parser, in the order detection asks them.
const QList<const PlaylistParser*>& playlistParsers();
// nullptr for NotPlaylist.
const PlaylistParser* parserFor(PlaylistFormat format);

bool startsWithCi(QStringView text, QLatin1StringView prefix);

// URL helpers shared with UrlRules.cpp: the length of "scheme" in "scheme:..." (0 when there is
// none, or it is a drive letter), and whether we play that scheme (icy included).
qsizetype schemeLength(QStringView text);
bool isPlayableScheme(QStringView scheme);

}  // namespace orvane
