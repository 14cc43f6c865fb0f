// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

namespace orvane {

// The source list lives in a plain text file: one "display name,stream URL" per line.
inline constexpr const char* kSourceListFileName = "orvaneplayer.ini";

// Lines shorter than this many characters are skipped.
inline constexpr qsizetype kMinSourceLineLength = 9;

// The longest line the list can hold whole: the list's edit field keeps at most this many UTF-16
// units, and Play reads the field, so a longer line would play a shortened URL.
inline constexpr qsizetype kMaxSourceLineLength = 32767;

// A station list is a few kilobytes; a file beyond this is not one (a device, a log, a runaway
// generator), and reading it would only cost memory and a list too long to pick from.
inline constexpr qint64 kMaxSourceListBytes = 1024 * 1024;

// Reads the usable lines of the source-list file, in file order and exactly as written. A line
// ends at CR, CRLF or LF; a UTF-8 byte-order mark at the start is dropped; each line is UTF-8
// where valid and Windows-1252 otherwise. Only a regular file (or a link to one) is read, and it
// is opened without blocking, so a FIFO cannot stall start-up. Errors: 53 when there is no file
// (a dangling link included); 75 for a folder, FIFO, device or socket, for a file that cannot be
// read, and for a file over kMaxSourceListBytes.
QStringList readSourceLines(const QString& fileName = QString::fromLatin1(kSourceListFileName));

// Why a text cannot be a source, whether it is a line of the file or typed into the list: a
// control character (a NUL, a tab, an escape, any C0 or C1 control), since a URL must never reach
// the engine as something other than what is shown; or more than kMaxSourceLineLength UTF-16
// units, counted as the list's edit field counts them (16,384 emoji are over).
enum class LineFault { None, ControlCharacter, TooLong };
LineFault sourceLineFault(QStringView line);

// Splits the bytes of a source-list file into its usable lines (the part of readSourceLines that
// needs no file): short lines are skipped, and a line with a sourceLineFault() is refused and
// counted in `refused` when it is given.
QStringList parseSourceLines(QByteArrayView content, qsizetype* refused = nullptr);

struct SourceLine {
    QString name;
    QString url;
};

// Name: everything before the first comma. URL: everything after it, with any further commas
// removed. No trimming. A text without a comma is all name.
SourceLine splitSourceLine(QStringView text);

}  // namespace orvane
