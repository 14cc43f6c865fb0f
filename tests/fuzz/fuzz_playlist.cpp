// SPDX-License-Identifier: GPL-3.0-or-later
// One playlist parser, picked by the name the binary runs under (fuzz_pls, fuzz_m3u, fuzz_hls,
// fuzz_asx, fuzz_xspf: one corpus each). The first byte says whether a server or a file sent it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FuzzInput.h"
#include "playlists/Playlist.h"

using namespace orvane;

namespace {
PlaylistFormat g_format = PlaylistFormat::NotPlaylist;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    using F = PlaylistFormat;
    const char* path = *argc > 0 ? (*argv)[0] : "";
    const char* slash = std::strrchr(path, '/');
    for (const auto& [name, format] : {std::pair{"fuzz_pls", F::Pls},
                                       {"fuzz_m3u", F::M3u},
                                       {"fuzz_hls", F::Hls},
                                       {"fuzz_asx", F::Asx},
                                       {"fuzz_xspf", F::Xspf}}) {
        if (std::strcmp(slash != nullptr ? slash + 1 : path, name) == 0) {
            g_format = format;
            return 0;
        }
    }
    std::fprintf(stderr,
                 "run this fuzzer as fuzz_pls, fuzz_m3u, fuzz_hls, fuzz_asx or fuzz_xspf\n");
    std::exit(2);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    static const QUrl remote(QStringLiteral("http://radio.example:8000/lists/station.pls"));
    static const QUrl local(QStringLiteral("file:///home/user/Music/station.pls"));
    const QUrl& base = in.flag() ? local : remote;
    const PlaylistParse parse = parsePlaylist(g_format, in.rest(), base);
    fuzz::check(parse.entries.isEmpty() != parse.error.isEmpty(),
                "an error is set exactly when there are no entries");
    for (const PlaylistEntry& entry : parse.entries) {
        fuzz::check(entry.url.isValid() && !entry.url.isRelative(), "entries are absolute URLs");
        fuzz::check(&base == &local || !entry.url.isLocalFile(),
                    "a remote playlist names no local file");
    }
    return 0;
}
