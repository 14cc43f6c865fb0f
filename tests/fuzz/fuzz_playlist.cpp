// SPDX-License-Identifier: GPL-3.0-or-later
// One playlist parser fed raw bodies. The binary is installed under one name per format
// (fuzz_pls, fuzz_m3u, fuzz_hls, fuzz_asx, fuzz_xspf): the name picks the parser, so each has its
// own corpus and a crash file replays with the command that found it. The first byte picks where
// the playlist came from: a server, or a local file (whose paths resolve against its folder).
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
    const char* const names[] = {"fuzz_pls", "fuzz_m3u", "fuzz_hls", "fuzz_asx", "fuzz_xspf"};
    const PlaylistFormat formats[] = {PlaylistFormat::Pls, PlaylistFormat::M3u, PlaylistFormat::Hls,
                                      PlaylistFormat::Asx, PlaylistFormat::Xspf};
    const char* path = *argc > 0 ? (*argv)[0] : "";
    const char* slash = std::strrchr(path, '/');
    for (int i = 0; i < 5; ++i) {
        if (std::strcmp(slash != nullptr ? slash + 1 : path, names[i]) == 0) {
            g_format = formats[i];
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
        // A server's playlist must never send the player to a file on this machine.
        fuzz::check(&base == &local || !entry.url.isLocalFile(),
                    "a remote playlist names no local file");
    }
    return 0;
}
