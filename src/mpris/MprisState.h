// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>
#include <QVariantMap>
#include <optional>

#include "mpris/MprisHost.h"

// How the player's state reads on the bus: names, value mappings and the change tracking that
// decides which properties a PropertiesChanged signal carries. No D-Bus traffic here.
namespace orvane::mpris {

inline constexpr char kServiceName[] = "org.mpris.MediaPlayer2.orvaneplayer";
inline constexpr char kObjectPath[] = "/org/mpris/MediaPlayer2";
inline constexpr char kRootInterface[] = "org.mpris.MediaPlayer2";
inline constexpr char kPlayerInterface[] = "org.mpris.MediaPlayer2.Player";

// A bus volume (1.0 is full) as the engine's 0..100, rounded and clamped; nothing for NaN.
std::optional<int> volumePercent(double busVolume);
double busVolume(int percent);

// "Artist - Song" -> {"Artist"}; any other shape -> {}.
QStringList artistsOf(const QString& title);

QStringList supportedUriSchemes();
QStringList supportedMimeTypes();
bool isSupportedUri(const QString& uri);

// file:// URL of the program's installed icon, or "" when it is not installed.
QString installedIconUrl();

// Keeps the last state the bus was told about and works out what changed since. Every station
// or title change gets a new track id, so a desktop never pairs a new title with an old track.
class ChangeTracker {
  public:
    explicit ChangeTracker(QString artUrl = {}) : m_artUrl(std::move(artUrl)) {}

    // The Player properties that differ from the last update (all of them on the first one).
    QVariantMap update(const MprisState& now);

    const MprisState& state() const { return m_state; }
    const QVariantMap& metadata() const { return m_metadata; }

  private:
    QVariantMap buildMetadata() const;

    QString m_artUrl;
    MprisState m_state;
    QVariantMap m_metadata;
    quint64 m_track = 0;
    bool m_first = true;
};

}  // namespace orvane::mpris
