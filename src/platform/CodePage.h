// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

namespace orvane {

// The 8-bit system code page of the old platform: Windows-1252.

// One byte per character. The five bytes the code page leaves undefined decode to the C1
// control of the same value, as the platform's own conversion does.
QString fromCodePage(QByteArrayView bytes);

// One byte per UTF-16 unit; a character outside the code page becomes '?'.
QByteArray toCodePage(QStringView text);

// Decodes one line of a text file: UTF-8 where the bytes are valid UTF-8, the code page
// otherwise.
QString decodeTextLine(QByteArrayView bytes);

}  // namespace orvane
