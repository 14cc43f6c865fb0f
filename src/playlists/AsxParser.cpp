// SPDX-License-Identifier: GPL-3.0-or-later
// Windows Media metafiles:
// <asx version="3.0"><title>Station</title>
//   <entry><title>..</title><ref href=".."/><ref href=".."/></entry>
//   <entryref href=".."/>
// </asx>
// Every ref of an entry counts, in order: they are alternatives for the same programme.
#include "playlists/PlaylistParser.h"
#include "playlists/XmlScanner.h"

namespace orvane {

namespace {

class AsxReader : public XmlHandler {
  public:
    explicit AsxReader(EntryList& entries) : m_entries(entries) {}

    void startElement(QStringView name, const XmlAttribute* attributes, int count,
                      bool selfClosing) override {
        if (xmlNameIs(name, QLatin1StringView("entry"))) {
            flush();
            m_inEntry = !selfClosing;
        } else if (xmlNameIs(name, QLatin1StringView("title"))) {
            if (!selfClosing) {
                m_inTitle = true;
                m_titleText.clear();
            }
        } else if (xmlNameIs(name, QLatin1StringView("ref")) ||
                   xmlNameIs(name, QLatin1StringView("entryref"))) {
            Ref ref{xmlAttribute(attributes, count, QLatin1StringView("href")),
                    xmlNameIs(name, QLatin1StringView("entryref"))};
            if (!m_inEntry) {
                m_entries.add(ref.href, {}, ref.playlist);
            } else if (m_refs.size() < kMaxPlaylistEntries) {
                m_refs.append(std::move(ref));
            }
        }
    }

    void endElement(QStringView name) override {
        if (xmlNameIs(name, QLatin1StringView("entry"))) {
            flush();
        } else if (xmlNameIs(name, QLatin1StringView("title")) && m_inTitle) {
            m_inTitle = false;
            if (!m_inEntry) {
                m_entries.setPlaylistTitle(m_titleText);
            } else if (m_entryTitle.isEmpty()) {
                m_entryTitle = m_titleText;
            }
        }
    }

    void characters(QStringView raw, bool literal) override {
        if (m_inTitle && m_titleText.size() < kMaxTitleLength) {
            raw = raw.first(std::min(raw.size(), kMaxTitleLength - m_titleText.size()));
            m_titleText += literal ? raw.toString() : decodeXmlEntities(raw);
        }
    }

    // An entry never closed still counts.
    void flush() {
        for (const Ref& ref : std::as_const(m_refs)) {
            m_entries.add(ref.href, m_entryTitle, ref.playlist);
        }
        m_refs.clear();
        m_entryTitle.clear();
        m_inEntry = false;
    }

  private:
    struct Ref {
        QString href;
        bool playlist = false;  // <entryref>: a playlist whatever its name
    };
    EntryList& m_entries;
    bool m_inEntry = false;
    bool m_inTitle = false;
    QString m_titleText;
    QString m_entryTitle;
    QList<Ref> m_refs;
};

class AsxParser : public PlaylistParser {
  public:
    PlaylistFormat format() const override { return PlaylistFormat::Asx; }

    bool detect(QStringView head, QByteArrayView) const override {
        return head.startsWith(u'<') && rootElementName(head) == QLatin1StringView("asx");
    }

  protected:
    void read(QStringView text, EntryList& entries) const override {
        AsxReader reader(entries);
        scanXml(text, reader);
        reader.flush();
    }
};

}  // namespace

const PlaylistParser& asxParser() {
    static const AsxParser parser;
    return parser;
}

}  // namespace orvane
