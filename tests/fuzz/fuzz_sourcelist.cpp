// SPDX-License-Identifier: GPL-3.0-or-later
// The source-list file as any bytes; every usable line is split as the window splits it.

#include <cstdint>

#include "FuzzInput.h"
#include "sources/SourceList.h"

using namespace orvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    const QStringList lines = parseSourceLines(in.rest());
    for (const QString& line : lines) {
        fuzz::check(!line.contains(u'\r') && !line.contains(u'\n'), "lines hold no line end");
        const SourceLine split = splitSourceLine(line);
        fuzz::check(!split.name.contains(u',') && !split.url.contains(u','),
                    "commas separate, they are never kept");
        fuzz::check(split.name.size() + split.url.size() <= line.size(), "splitting only removes");
    }
    return 0;
}
