// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QUrl>

namespace orvane {

// Which URLs the player accepts, and in what form. The engine and the playlist reader share
// these rules so that a URL means the same thing wherever it is written.

// What a user wrote as a source: an absolute local path becomes a file:// URL, icy:// (SHOUTcast's
// name for plain HTTP) becomes http://, anything else is read as a URL.
QUrl toMediaUrl(const QString& text);

// Whether we download it ourselves (to read it as a playlist): http, https and local files.
bool isFetchable(const QUrl& url);

// Turns one playlist entry as written into a URL a player can open, or an invalid QUrl when it is
// not usable: empty, unresolvable, a scheme we do not play, or a local file named by a remote
// playlist. Relative entries resolve against base, where the playlist came from.
QUrl playableUrl(QStringView written, const QUrl& base);

// The URL as text for comparisons and loop detection: fragment dropped, fully encoded.
QString urlKey(const QUrl& url);

}  // namespace orvane
