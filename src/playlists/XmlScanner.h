// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLatin1StringView>
#include <QString>
#include <QStringView>

namespace orvane {

// ASX files are XML in name only: upper-case tags, unquoted attributes and raw '&' in URLs are
// common, so a strict XML reader would reject many real ones. This scanner walks the text once,
// reports tags and text as it meets them, keeps nothing between them, and never fails. XSPF goes
// through it too.

struct XmlAttribute {
    QStringView name;      // namespace prefix dropped, case as written
    QStringView rawValue;  // entities not decoded yet: see decodeXmlEntities()
};

class XmlHandler {
  public:
    virtual ~XmlHandler() = default;
    // name: namespace prefix dropped, case as written; compare with xmlNameIs().
    virtual void startElement(QStringView name, const XmlAttribute* attributes, int count,
                              bool selfClosing) = 0;
    virtual void endElement(QStringView name) = 0;
    // Text between tags as written, entities not decoded yet; the inside of a CDATA section
    // comes with literal set, and holds no entities.
    virtual void characters(QStringView raw, bool literal) = 0;
};

// A tag with more attributes than this keeps its first ones: no playlist tag has a dozen.
inline constexpr int kMaxXmlAttributes = 16;

void scanXml(QStringView text, XmlHandler& handler);

// &amp; &lt; &gt; &quot; &apos; and numeric references; anything else (a bare '&' in a URL)
// stays as written. Looks at most a few characters past each '&'.
QString decodeXmlEntities(QStringView raw);

bool xmlNameIs(QStringView name, QLatin1StringView expected);

// The value of the named attribute, entities decoded; the last one wins, as in a map.
QString xmlAttribute(const XmlAttribute* attributes, int count, QLatin1StringView name);

// The local name of the first element, skipping the XML declaration, comments and a doctype;
// empty when the text does not start with markup.
QString rootElementName(QStringView text);

}  // namespace orvane
