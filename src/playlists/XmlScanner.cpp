// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlists/XmlScanner.h"

#include <array>

namespace orvane {

namespace {

// "&#x10FFFF;" is the longest reference we decode.
constexpr qsizetype kMaxEntityLength = 10;

bool isNameChar(QChar c) {
    return !c.isSpace() && c != QLatin1Char('>') && c != QLatin1Char('/') &&
           c != QLatin1Char('=') && c != QLatin1Char('<');
}

QStringView localName(QStringView name) {
    const qsizetype colon = name.lastIndexOf(QLatin1Char(':'));
    return colon >= 0 ? name.sliced(colon + 1) : name;
}

// The character that the reference at text[0] == '&' stands for, and its length; {0, 0} when
// there is none.
std::pair<char32_t, qsizetype> entityAt(QStringView text) {
    // Most '&' in playlists are raw ones in URLs: refuse them without a search.
    if (text.size() < 3 || !(text[1].isLetter() || text[1] == u'#')) {
        return {0, 0};
    }
    const qsizetype semi = text.first(std::min(text.size(), kMaxEntityLength)).indexOf(u';');
    if (semi < 2) {
        return {0, 0};
    }
    const QStringView name = text.sliced(1, semi - 1);
    static constexpr std::pair<QLatin1StringView, char32_t> kNamed[] = {
        {QLatin1StringView("amp"), U'&'},   {QLatin1StringView("lt"), U'<'},
        {QLatin1StringView("gt"), U'>'},    {QLatin1StringView("quot"), U'"'},
        {QLatin1StringView("apos"), U'\''},
    };
    for (const auto& [entity, c] : kNamed) {
        if (name == entity) {
            return {c, semi + 1};
        }
    }
    if (!name.startsWith(u'#')) {
        return {0, 0};
    }
    bool ok = false;
    const bool hex = name.size() > 1 && (name[1] == u'x' || name[1] == u'X');
    const uint code = hex ? name.sliced(2).toUInt(&ok, 16) : name.sliced(1).toUInt(&ok, 10);
    if (!ok || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return {0, 0};
    }
    return {code, semi + 1};
}

// The attributes of one start tag (the text after its name), at most kMaxXmlAttributes.
int readAttributes(QStringView tag, std::array<XmlAttribute, kMaxXmlAttributes>* attributes) {
    int count = 0;
    qsizetype i = 0;
    while (i < tag.size() && count < kMaxXmlAttributes) {
        while (i < tag.size() && (tag[i].isSpace() || tag[i] == QLatin1Char('/'))) {
            ++i;
        }
        const qsizetype nameStart = i;
        while (i < tag.size() && isNameChar(tag[i])) {
            ++i;
        }
        if (i == nameStart) {
            ++i;  // a stray character: skip it
            continue;
        }
        XmlAttribute& attribute = (*attributes)[count++];
        attribute.name = localName(tag.sliced(nameStart, i - nameStart));
        attribute.rawValue = {};
        while (i < tag.size() && tag[i].isSpace()) {
            ++i;
        }
        if (i >= tag.size() || tag[i] != QLatin1Char('=')) {
            continue;
        }
        ++i;
        while (i < tag.size() && tag[i].isSpace()) {
            ++i;
        }
        if (i < tag.size() && (tag[i] == QLatin1Char('"') || tag[i] == QLatin1Char('\''))) {
            const qsizetype end = tag.indexOf(tag[i], i + 1);
            const qsizetype stop = end < 0 ? tag.size() : end;
            attribute.rawValue = tag.sliced(i + 1, stop - i - 1);
            i = stop + 1;
        } else {
            const qsizetype start = i;
            while (i < tag.size() && !tag[i].isSpace()) {
                ++i;
            }
            attribute.rawValue = tag.sliced(start, i - start);
        }
    }
    return count;
}

// Where the markup construct starting at text[i] ends (one past it): the terminator's end, or
// the end of the text when it never comes.
qsizetype skipPast(QStringView text, qsizetype from, QStringView terminator) {
    const qsizetype end = text.indexOf(terminator, from);
    return end < 0 ? text.size() : end + terminator.size();
}

}  // namespace

QString decodeXmlEntities(QStringView raw) {
    qsizetype amp = raw.indexOf(u'&');
    if (amp < 0) {
        return raw.toString();
    }
    QString out;
    out.reserve(raw.size());
    qsizetype done = 0;  // raw[0, done) is in out
    while (amp >= 0) {
        const auto [c, length] = entityAt(raw.sliced(amp));
        if (length > 0) {
            out.append(raw.sliced(done, amp - done));
            out.append(QStringView(QString::fromUcs4(&c, 1)));
            done = amp + length;
        }
        // A bare '&' (in a URL) stays as written, copied with the text around it.
        amp = raw.indexOf(u'&', length > 0 ? done : amp + 1);
    }
    out.append(raw.sliced(done));
    return out;
}

bool xmlNameIs(QStringView name, QLatin1StringView expected) {
    // The length first: most tags are not the one asked about, and this runs for every tag.
    return name.size() == expected.size() && name.compare(expected, Qt::CaseInsensitive) == 0;
}

QString xmlAttribute(const XmlAttribute* attributes, int count, QLatin1StringView name) {
    for (int i = count - 1; i >= 0; --i) {
        if (xmlNameIs(attributes[i].name, name)) {
            return decodeXmlEntities(attributes[i].rawValue);
        }
    }
    return {};
}

void scanXml(QStringView text, XmlHandler& handler) {
    std::array<XmlAttribute, kMaxXmlAttributes> attributes;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        if (text[i] != QLatin1Char('<')) {
            qsizetype end = text.indexOf(u'<', i);
            end = end < 0 ? n : end;
            handler.characters(text.sliced(i, end - i), false);
            i = end;
            continue;
        }
        const QStringView rest = text.sliced(i);
        const QChar next = rest.size() > 1 ? rest[1] : QChar();
        if (next == u'!' && rest.startsWith(QLatin1StringView("<!--"))) {
            i = skipPast(text, i + 4, u"-->");
        } else if (next == u'!' && rest.startsWith(QLatin1StringView("<![CDATA["))) {
            const qsizetype end = text.indexOf(QLatin1StringView("]]>"), i + 9);
            const qsizetype stop = end < 0 ? n : end;
            handler.characters(text.sliced(i + 9, stop - i - 9), true);
            i = end < 0 ? n : end + 3;
        } else if (next == u'?' || next == u'!') {
            i = skipPast(text, i, u">");
        } else {
            const bool closing = next == u'/';
            const qsizetype nameStart = i + (closing ? 2 : 1);
            qsizetype j = nameStart;
            while (j < n && isNameChar(text[j])) {
                ++j;
            }
            if (j == nameStart) {
                handler.characters(text.sliced(i, 1), false);  // "<" that opens no tag
                ++i;
                continue;
            }
            // The tag ends at the first '>' outside quotes.
            qsizetype end = j;
            QChar quote;
            while (end < n && (text[end] != QLatin1Char('>') || !quote.isNull())) {
                if (quote.isNull() &&
                    (text[end] == QLatin1Char('"') || text[end] == QLatin1Char('\''))) {
                    quote = text[end];
                } else if (text[end] == quote) {
                    quote = QChar();
                }
                ++end;
            }
            const QStringView name = localName(text.sliced(nameStart, j - nameStart));
            const QStringView inside = text.sliced(j, end - j);
            if (closing) {
                handler.endElement(name);
            } else {
                const int count = readAttributes(inside, &attributes);
                handler.startElement(name, attributes.data(), count,
                                     inside.trimmed().endsWith(QLatin1Char('/')));
            }
            i = end < n ? end + 1 : n;
        }
    }
}

QString rootElementName(QStringView text) {
    qsizetype i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i].isSpace()) {
            ++i;
        }
        if (i >= text.size() || text[i] != QLatin1Char('<')) {
            return {};
        }
        const QStringView rest = text.sliced(i);
        if (rest.startsWith(QLatin1StringView("<!--"))) {
            i = skipPast(text, i + 4, u"-->");
        } else if (rest.startsWith(QLatin1StringView("<?")) ||
                   rest.startsWith(QLatin1StringView("<!"))) {
            i = skipPast(text, i, u">");
        } else {
            qsizetype j = i + 1;
            while (j < text.size() && !text[j].isSpace() && text[j] != QLatin1Char('>') &&
                   text[j] != QLatin1Char('/')) {
                ++j;
            }
            return localName(text.sliced(i + 1, j - i - 1)).toString().toLower();
        }
    }
    return {};
}

}  // namespace orvane
