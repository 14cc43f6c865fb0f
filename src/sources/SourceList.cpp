// SPDX-License-Identifier: GPL-3.0-or-later
#include "sources/SourceList.h"

#include <QFile>
#include <QFileInfo>

#include "platform/CodePage.h"
#include "platform/RuntimeError.h"

namespace orvane {

namespace {

// Length in characters, not UTF-16 units: a character outside the basic plane counts once.
qsizetype characterCount(QStringView s) {
    qsizetype n = 0;
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (!(s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate())) {
            ++n;
        }
    }
    return n;
}

}  // namespace

QStringList parseSourceLines(QByteArrayView content) {
    static constexpr QByteArrayView kBom("\xEF\xBB\xBF");
    if (content.startsWith(kBom)) {
        content = content.sliced(kBom.size());
    }
    QStringList lines;
    auto take = [&lines](QByteArrayView raw) {
        QString line = decodeTextLine(raw);
        if (characterCount(line) >= kMinSourceLineLength) {
            lines.append(std::move(line));
        }
    };
    qsizetype start = 0;
    const qsizetype n = content.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = content[i];
        if (c != '\r' && c != '\n') {
            continue;
        }
        take(content.sliced(start, i - start));
        if (c == '\r' && i + 1 < n && content[i + 1] == '\n') {
            ++i;
        }
        start = i + 1;
    }
    if (start < n) {
        take(content.sliced(start));
    }
    return lines;
}

QStringList readSourceLines(const QString& fileName) {
    QFile file(fileName);
    if (!file.exists()) {
        throw RuntimeError(err::FileNotFound);
    }
    if (QFileInfo(fileName).isDir() || !file.open(QIODevice::ReadOnly)) {
        throw RuntimeError(err::PathFileAccess);
    }
    const QByteArray content = file.readAll();
    return parseSourceLines(content);
}

SourceLine splitSourceLine(QStringView text) {
    SourceLine out;
    bool inUrl = false;
    for (const QChar c : text) {
        if (c == u',') {
            inUrl = true;
        } else if (inUrl) {
            out.url.append(c);
        } else {
            out.name.append(c);
        }
    }
    return out;
}

}  // namespace orvane
