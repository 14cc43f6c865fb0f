// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlists/PlaylistText.h"

#include <QStringDecoder>

#include "platform/CodePage.h"

namespace orvane {

namespace {

// Enough of the start of a body to tell one format from another.
constexpr qsizetype kHeadBytes = 4096;

bool isAscii(QByteArrayView bytes) {
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool hasUtf16Bom(QByteArrayView bytes) {
    return bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF");
}

QString decodePlaylistText(QByteArrayView body) {
    if (hasUtf16Bom(body)) {
        QStringDecoder decoder(body.startsWith("\xFF\xFE") ? QStringDecoder::Utf16LE
                                                           : QStringDecoder::Utf16BE);
        return decoder.decode(body.sliced(2));
    }
    if (body.startsWith("\xEF\xBB\xBF")) {
        body = body.sliced(3);
    }
    // Most bodies are valid UTF-8 throughout: one pass.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8.decode(body);
    if (!utf8.hasError()) {
        return text;
    }
    // Mixed: line by line. ASCII lines (most of them) are copied without a decoder of their own,
    // so a body of a million short lines stays cheap.
    text.clear();
    text.reserve(body.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i <= body.size(); ++i) {
        if (i < body.size() && body[i] != '\n' && body[i] != '\r') {
            continue;
        }
        const QByteArrayView line = body.sliced(start, i - start);
        if (isAscii(line)) {
            text.append(QLatin1StringView(line));
        } else {
            text.append(decodeTextLine(line));
        }
        if (i < body.size()) {
            text.append(QLatin1Char(body[i]));
        }
        start = i + 1;
    }
    return text;
}

QString playlistTextHead(QByteArrayView body) {
    QString text = decodePlaylistText(body.first(std::min(body.size(), kHeadBytes)));
    qsizetype i = 0;
    while (i < text.size() && (text[i].isSpace() || text[i] == QChar(0xFEFF))) {
        ++i;
    }
    return text.mid(i);
}

}  // namespace orvane
