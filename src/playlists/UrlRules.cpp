// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlists/UrlRules.h"

#include <QDir>
#include <QFileInfo>

#include "playlists/PlaylistParser.h"

namespace orvane {

namespace {

bool isAsciiAlnum(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}

// SHOUTcast's "icy://host:port/" names a plain HTTP stream.
QUrl mapIcy(QUrl url) {
    if (url.scheme() == QLatin1StringView("icy")) {
        url.setScheme(QStringLiteral("http"));
    }
    return url;
}

}  // namespace

qsizetype schemeLength(QStringView text) {
    if (text.isEmpty() || !isAsciiAlnum(text[0].unicode()) || text[0].isDigit()) {
        return 0;
    }
    for (qsizetype i = 1; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == u':') {
            return i >= 2 ? i : 0;  // at least two letters, so that C:\ is not a scheme
        }
        if (!isAsciiAlnum(c) && c != u'+' && c != u'-' && c != u'.') {
            return 0;
        }
    }
    return 0;
}

bool isPlayableScheme(QStringView scheme) {
    static constexpr QLatin1StringView kSchemes[] = {
        QLatin1StringView("http"),  QLatin1StringView("https"), QLatin1StringView("file"),
        QLatin1StringView("mms"),   QLatin1StringView("mmsh"),  QLatin1StringView("mmst"),
        QLatin1StringView("rtsp"),  QLatin1StringView("rtsps"), QLatin1StringView("rtspt"),
        QLatin1StringView("rtspu"), QLatin1StringView("rtmp"),  QLatin1StringView("rtmps"),
        QLatin1StringView("icy"),
    };
    for (const QLatin1StringView known : kSchemes) {
        if (scheme.compare(known, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

QUrl toMediaUrl(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.startsWith(QLatin1Char('/'))) {
        return QUrl::fromLocalFile(trimmed);
    }
    return mapIcy(QUrl(trimmed, QUrl::TolerantMode));
}

bool isFetchable(const QUrl& url) {
    return url.isLocalFile() || url.scheme() == QLatin1StringView("http") ||
           url.scheme() == QLatin1StringView("https");
}

QString urlKey(const QUrl& url) {
    return url.adjusted(QUrl::RemoveFragment | QUrl::NormalizePathSegments)
        .toString(QUrl::FullyEncoded);
}

QUrl playableUrl(QStringView written, const QUrl& base) {
    const QStringView text = written.trimmed();
    if (text.isEmpty()) {
        return {};
    }
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
            return {};
        }
    }
    const bool localBase = base.isLocalFile();
    const qsizetype scheme = schemeLength(text);
    QUrl url;
    if (scheme > 0) {
        // Refused before QUrl parses it: a long list of junk lines costs next to nothing.
        if (!isPlayableScheme(text.first(scheme))) {
            return {};
        }
        url = mapIcy(QUrl(text.toString(), QUrl::TolerantMode));
    } else if (localBase) {
        // A local playlist names files by path, often Windows-style and relative to itself.
        QString path = text.toString();
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (path.size() >= 2 && path[1] == QLatin1Char(':')) {
            return {};  // a drive letter: nothing on this system
        }
        if (!QDir::isAbsolutePath(path)) {
            path = QFileInfo(base.toLocalFile()).absoluteDir().filePath(path);
        }
        url = QUrl::fromLocalFile(QDir::cleanPath(path));
    } else if (base.isValid() && !base.isRelative()) {
        // A relative reference in a web playlist is a path someone wrote as a URL; with spaces,
        // brackets or quotes in it, it is a stray line of text, not a path.
        for (const QChar c : text) {
            if (c.isSpace() || QStringView(u"<>\"{}|\\^`[]").contains(c)) {
                return {};
            }
        }
        url = base.resolved(QUrl(text.toString(), QUrl::TolerantMode));
    } else if (text.startsWith(QLatin1Char('/'))) {
        url = QUrl::fromLocalFile(QDir::cleanPath(text.toString()));
    } else {
        return {};
    }
    if (!url.isValid() || url.isRelative() || !isPlayableScheme(url.scheme())) {
        return {};
    }
    if (url.isLocalFile()) {
        // A playlist from the network has no business opening files on this machine.
        if (base.isValid() && !base.isRelative() && !localBase) {
            return {};
        }
        if (url.toLocalFile().isEmpty() || !url.host().isEmpty()) {
            return {};
        }
    } else if (url.host().isEmpty()) {
        return {};
    }
    return url;
}

}  // namespace orvane
