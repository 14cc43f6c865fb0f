// SPDX-License-Identifier: GPL-3.0-or-later
// XML Shareable Playlist Format:
// <playlist xmlns="http://xspf.org/ns/0/"><title>..</title><trackList>
//   <track><location>..</location><title>..</title></track>
// </trackList></playlist>
// Every location of a track counts, in order; the playlist's own <location> is no track.
#include "playlists/PlaylistParser.h"
#include "playlists/XmlScanner.h"

namespace orvane {

namespace {

class XspfReader : public XmlHandler {
  public:
    explicit XspfReader(EntryList& entries) : m_entries(entries) {}

    void startElement(QStringView name, const XmlAttribute*, int, bool selfClosing) override {
        if (xmlNameIs(name, QLatin1StringView("tracklist"))) {
            m_inTrackList = !selfClosing;
        } else if (xmlNameIs(name, QLatin1StringView("track"))) {
            flush();
            m_inTrack = !selfClosing;
        } else if (!selfClosing) {
            const Capture what = captureFor(name);
            if (what != Capture::None) {
                m_capture = what;
                m_captured.clear();
            }
        }
    }

    void endElement(QStringView name) override {
        if (xmlNameIs(name, QLatin1StringView("tracklist"))) {
            m_inTrackList = false;
        } else if (xmlNameIs(name, QLatin1StringView("track"))) {
            flush();
        } else if (const Capture what = captureFor(name);
                   what != Capture::None && what == m_capture) {
            m_capture = Capture::None;
            if (what == Capture::Location && m_inTrack) {
                if (m_locations.size() < kMaxPlaylistEntries) {
                    m_locations.append(m_captured);
                }
            } else if (what == Capture::Title && m_inTrack) {
                m_trackTitle = m_captured;
            } else if (what == Capture::Title && !m_inTrackList) {
                m_entries.setPlaylistTitle(m_captured);
            }
        }
    }

    void characters(QStringView raw, bool literal) override {
        // A location is kept whole (a cut URL would name another resource); a title need not be.
        if (m_capture == Capture::Title && m_captured.size() >= kMaxTitleLength) {
            return;
        }
        if (m_capture == Capture::Title) {
            raw = raw.first(std::min(raw.size(), kMaxTitleLength - m_captured.size()));
        }
        if (m_capture != Capture::None) {
            m_captured += literal ? raw.toString() : decodeXmlEntities(raw);
        }
    }

    // A track never closed still counts.
    void flush() {
        for (const QString& location : std::as_const(m_locations)) {
            m_entries.add(location, m_trackTitle);
        }
        m_locations.clear();
        m_trackTitle.clear();
        m_inTrack = false;
    }

  private:
    enum class Capture { None, Location, Title };
    static Capture captureFor(QStringView name) {
        if (xmlNameIs(name, QLatin1StringView("location"))) {
            return Capture::Location;
        }
        return xmlNameIs(name, QLatin1StringView("title")) ? Capture::Title : Capture::None;
    }

    EntryList& m_entries;
    bool m_inTrack = false;
    bool m_inTrackList = false;
    Capture m_capture = Capture::None;
    QString m_captured;
    QString m_trackTitle;
    QStringList m_locations;
};

class XspfParser : public PlaylistParser {
  public:
    PlaylistFormat format() const override { return PlaylistFormat::Xspf; }

    // Other XML with a <playlist> root is not XSPF: the namespace or a trackList says it is.
    bool detect(QStringView head, QByteArrayView) const override {
        return head.startsWith(u'<') && rootElementName(head) == QLatin1StringView("playlist") &&
               (head.contains(QLatin1StringView("xspf.org/ns/"), Qt::CaseInsensitive) ||
                head.contains(QLatin1StringView("<tracklist"), Qt::CaseInsensitive));
    }

  protected:
    void read(QStringView text, EntryList& entries) const override {
        XspfReader reader(entries);
        scanXml(text, reader);
        reader.flush();
    }
};

}  // namespace

const PlaylistParser& xspfParser() {
    static const XspfParser parser;
    return parser;
}

}  // namespace orvane
