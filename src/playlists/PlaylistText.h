// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace orvane {

// Playlist bodies as text. Hand-made playlists come in UTF-8, in the Windows code page, or (ASX
// written by Windows tools) in UTF-16 with a byte-order mark.

// The whole body: UTF-16 after its byte-order mark; otherwise UTF-8 where a line is valid UTF-8
// and the Windows code page where it is not. A UTF-8 byte-order mark is dropped. Line ends stay.
QString decodePlaylistText(QByteArrayView body);

// The start of the body as text, without a byte-order mark and leading blanks: enough to tell
// the formats apart by their first lines.
QString playlistTextHead(QByteArrayView body);

bool hasUtf16Bom(QByteArrayView bytes);

// Calls fn(QStringView line) for every line, split on CR, LF or both (a CR LF pair gives an extra
// empty line, which no reader minds). Views into text, nothing copied.
template <typename Fn>
void forEachLine(QStringView text, Fn&& fn) {
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\n') || text[i] == QLatin1Char('\r')) {
            fn(text.sliced(start, i - start));
            start = i + 1;
        }
    }
    fn(text.sliced(start));
}

}  // namespace orvane
