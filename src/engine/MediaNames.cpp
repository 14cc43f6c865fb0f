// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/MediaNames.h"

#include <QUrl>

namespace orvane {

QString nameFromUrl(const QString& url) {
    const QString trimmed = url.trimmed();
    if (trimmed.isEmpty()) {
        return {};
    }
    const QUrl parsed(trimmed);
    // A plain file path parses as a relative URL without a scheme; its path is still the path.
    const QString path = parsed.isValid() ? parsed.path() : trimmed;
    QString segment;
    const QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    if (!parts.isEmpty()) {
        segment = parts.last();
    }
    if (segment.isEmpty()) {
        return parsed.isValid() && !parsed.host().isEmpty() ? parsed.host() : trimmed;
    }
    // ".mp3" -> keep, "a.b.mp3" -> "a.b": only the final extension goes.
    const qsizetype dot = segment.lastIndexOf(u'.');
    if (dot > 0) {
        segment.truncate(dot);
    }
    return segment;
}

namespace {

// Names are shown on one line. Stations send CR/LF and tabs in their ICY titles, and a line or
// paragraph separator would break a label just the same: each becomes a space.
QString oneLine(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        const QChar::Category k = c.category();
        if (k == QChar::Other_Control || k == QChar::Separator_Line ||
            k == QChar::Separator_Paragraph) {
            c = u' ';
        }
    }
    return out.trimmed();
}

}  // namespace

QString displayName(const QString& title, const QString& station, const QString& url) {
    return displayName(title, station, {}, url);
}

QString displayName(const QString& title, const QString& station, const QString& listedTitle,
                    const QString& url) {
    if (url.isEmpty()) {
        return {};
    }
    for (const QString* name : {&title, &station, &listedTitle}) {
        QString shown = oneLine(*name);
        if (!shown.isEmpty()) {
            return shown;
        }
    }
    return oneLine(nameFromUrl(url));
}

}  // namespace orvane
