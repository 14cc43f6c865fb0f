// SPDX-License-Identifier: GPL-3.0-or-later
// [playlist]
// File1=http://host/stream
// Title1=Station
// NumberOfEntries=1
// (and the older [Reference] Ref1=... of Windows Media).
#include <map>

#include "playlists/PlaylistParser.h"
#include "playlists/PlaylistText.h"

namespace orvane {

namespace {

// "File12" -> 12 for the given key prefix; 0 when the key is something else.
qulonglong keyIndex(QStringView key, QLatin1StringView prefix) {
    if (!startsWithCi(key, prefix) || key.size() == prefix.size()) {
        return 0;
    }
    const QStringView digits = key.sliced(prefix.size());
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return 0;
        }
    }
    bool ok = false;
    const qulonglong n = digits.toULongLong(&ok);
    return ok ? n : 0;
}

// Keeps the value of the lowest numbers only, the first value of each; the list never grows
// past the entries a playlist can yield.
void keep(std::map<qulonglong, QStringView>* map, qulonglong n, QStringView value) {
    if (map->size() >= static_cast<size_t>(kMaxPlaylistEntries) && n > map->rbegin()->first) {
        return;
    }
    if (map->emplace(n, value).second && map->size() > static_cast<size_t>(kMaxPlaylistEntries)) {
        map->erase(std::prev(map->end()));
    }
}

class PlsParser : public PlaylistParser {
  public:
    PlaylistFormat format() const override { return PlaylistFormat::Pls; }

    bool detect(QStringView head, QByteArrayView) const override {
        return startsWithCi(head, QLatin1StringView("[playlist]")) ||
               startsWithCi(head, QLatin1StringView("[reference]"));
    }

  protected:
    // Entries come in the order of their numbers, not of the lines; NumberOfEntries is often
    // wrong, so the keys present are what counts.
    void read(QStringView text, EntryList& entries) const override {
        std::map<qulonglong, QStringView> files;
        std::map<qulonglong, QStringView> titles;
        forEachLine(text, [&](QStringView raw) {
            const QStringView line = raw.trimmed();
            if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#') ||
                line.startsWith(u'[')) {
                return;
            }
            const qsizetype eq = line.indexOf(u'=');
            if (eq <= 0) {
                return;
            }
            const QStringView key = line.first(eq).trimmed();
            const QStringView value = line.sliced(eq + 1).trimmed();
            if (qulonglong n = keyIndex(key, QLatin1StringView("file")); n > 0) {
                keep(&files, n, value);
            } else if (n = keyIndex(key, QLatin1StringView("ref")); n > 0) {
                keep(&files, n, value);
            } else if (n = keyIndex(key, QLatin1StringView("title")); n > 0) {
                keep(&titles, n, value);
            }
        });
        for (const auto& [n, file] : files) {
            const auto title = titles.find(n);
            if (!entries.add(file, title == titles.end() ? QStringView() : title->second)) {
                return;
            }
        }
    }
};

}  // namespace

const PlaylistParser& plsParser() {
    static const PlsParser parser;
    return parser;
}

}  // namespace orvane
