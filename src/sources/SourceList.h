// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

namespace orvane {

// The source list lives in a plain text file: one "display name,stream URL" per line.
inline constexpr const char* kSourceListFileName = "orvaneplayer.ini";

// Lines shorter than this many characters are skipped.
inline constexpr qsizetype kMinSourceLineLength = 9;

// Reads the usable lines of the source-list file, in file order and exactly as written. A line
// ends at CR, CRLF or LF; a UTF-8 byte-order mark at the start is dropped; each line is UTF-8
// where valid and Windows-1252 otherwise. A missing file raises run-time error 53, one that
// cannot be read raises 75.
QStringList readSourceLines(const QString& fileName = QString::fromLatin1(kSourceListFileName));

// Splits the bytes of a source-list file into its usable lines (the part of readSourceLines that
// needs no file).
QStringList parseSourceLines(QByteArrayView content);

struct SourceLine {
    QString name;
    QString url;
};

// Name: everything before the first comma. URL: everything after it, with any further commas
// removed. No trimming. A text without a comma is all name.
SourceLine splitSourceLine(QStringView text);

}  // namespace orvane
