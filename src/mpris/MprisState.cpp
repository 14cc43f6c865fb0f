// SPDX-License-Identifier: GPL-3.0-or-later
#include "mpris/MprisState.h"

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <algorithm>
#include <cmath>

namespace orvane::mpris {

std::optional<int> volumePercent(double v) {
    if (std::isnan(v)) {
        return std::nullopt;
    }
    // Clamp before scaling, so that huge values cannot overflow the rounding.
    return int(std::lround(std::clamp(v, 0.0, 1.0) * 100.0));
}

double busVolume(int percent) {
    return percent / 100.0;
}

QStringList artistsOf(const QString& title) {
    const qsizetype dash = title.indexOf(QLatin1String(" - "));
    if (dash <= 0) {
        return {};
    }
    const QString artist = title.left(dash).trimmed();
    if (artist.isEmpty() || title.mid(dash + 3).trimmed().isEmpty()) {
        return {};
    }
    return {artist};
}

// What the engine opens: HTTP(S) streams and station playlists, and local files.
QStringList supportedUriSchemes() {
    return {QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("file")};
}

// Formats the installed decoders (mpg123, faad, vorbis, opus, flac) and the playlist reader
// handle.
QStringList supportedMimeTypes() {
    return {QStringLiteral("audio/mpeg"),
            QStringLiteral("audio/aac"),
            QStringLiteral("audio/aacp"),
            QStringLiteral("audio/ogg"),
            QStringLiteral("audio/opus"),
            QStringLiteral("audio/flac"),
            QStringLiteral("audio/x-flac"),
            QStringLiteral("application/ogg"),
            QStringLiteral("audio/x-mpegurl"),
            QStringLiteral("audio/mpegurl"),
            QStringLiteral("application/vnd.apple.mpegurl"),
            QStringLiteral("audio/x-scpls"),
            QStringLiteral("application/xspf+xml"),
            QStringLiteral("video/x-ms-asf")};
}

bool isSupportedUri(const QString& uri) {
    const QUrl url(uri, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || !supportedUriSchemes().contains(scheme)) {
        return false;
    }
    return scheme == QLatin1String("file") ? !url.path().isEmpty() : !url.host().isEmpty();
}

QString installedIconUrl() {
    const QString relative = QStringLiteral("icons/hicolor/256x256/apps/orvaneplayer.png");
    QString path = QStandardPaths::locate(QStandardPaths::GenericDataLocation, relative);
    if (path.isEmpty()) {
        // Installed under another prefix than the desktop's data folders (a /opt install).
        const QString beside =
            QCoreApplication::applicationDirPath() + QStringLiteral("/../share/") + relative;
        if (QFileInfo::exists(beside)) {
            path = QFileInfo(beside).canonicalFilePath();
        }
    }
    return path.isEmpty() ? QString() : QUrl::fromLocalFile(path).toString();
}

QVariantMap ChangeTracker::update(const MprisState& now) {
    QVariantMap changed;
    const bool first = std::exchange(m_first, false);
    const MprisState before = std::exchange(m_state, now);
    if (first || before.playing != now.playing) {
        changed.insert(QStringLiteral("PlaybackStatus"),
                       now.playing ? QStringLiteral("Playing") : QStringLiteral("Stopped"));
    }
    if (first || before.station != now.station || before.url != now.url ||
        before.title != now.title) {
        ++m_track;
        m_metadata = buildMetadata();
        changed.insert(QStringLiteral("Metadata"), m_metadata);
    }
    if (first || before.volume != now.volume) {
        changed.insert(QStringLiteral("Volume"), busVolume(now.volume));
    }
    if (first || before.canGoNext != now.canGoNext) {
        changed.insert(QStringLiteral("CanGoNext"), now.canGoNext);
    }
    if (first || before.canGoPrevious != now.canGoPrevious) {
        changed.insert(QStringLiteral("CanGoPrevious"), now.canGoPrevious);
    }
    return changed;
}

QVariantMap ChangeTracker::buildMetadata() const {
    const MprisState& s = m_state;
    QVariantMap m;
    if (s.station.isEmpty() && s.title.isEmpty() && s.url.isEmpty()) {
        m.insert(QStringLiteral("mpris:trackid"),
                 QVariant::fromValue(
                     QDBusObjectPath(QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack"))));
        return m;
    }
    // Paths under /org/mpris are reserved to the MPRIS interface itself.
    m.insert(QStringLiteral("mpris:trackid"),
             QVariant::fromValue(
                 QDBusObjectPath(QStringLiteral("/org/orvaneplayer/track/%1").arg(m_track))));
    const QString title = s.title.isEmpty() ? s.station : s.title;
    if (!title.isEmpty()) {
        m.insert(QStringLiteral("xesam:title"), title);
    }
    const QStringList artists = artistsOf(s.title);
    if (!artists.isEmpty()) {
        m.insert(QStringLiteral("xesam:artist"), artists);
    }
    if (!s.station.isEmpty()) {
        m.insert(QStringLiteral("xesam:album"), s.station);
    }
    if (!s.url.isEmpty()) {
        m.insert(QStringLiteral("xesam:url"), s.url);
    }
    if (!m_artUrl.isEmpty()) {
        m.insert(QStringLiteral("mpris:artUrl"), m_artUrl);
    }
    return m;
}

}  // namespace orvane::mpris
