// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace orvane {

// The name shown for a stream that has sent neither a title nor a station name: the last
// segment of the URL's path without its extension ("http://host/live/jazz.mp3" -> "jazz").
// Falls back to the host when the path has no segment, and to the text itself when it is not
// a URL at all.
QString nameFromUrl(const QString& url);

// What the window shows for the current media: the stream title if there is one, else the
// station name, else nameFromUrl(). Empty when there is no URL. Always one line: control
// characters (CR, LF, tab ...) and line separators become spaces, and the ends are trimmed.
QString displayName(const QString& title, const QString& station, const QString& url);

// The same for a stream picked from a playlist: the title the playlist gives the entry comes
// after what the stream says about itself and before the entry's URL.
QString displayName(const QString& title, const QString& station, const QString& listedTitle,
                    const QString& url);

}  // namespace orvane
