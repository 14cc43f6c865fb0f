// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QTimer>

#include "mpris/MprisHost.h"
#include "mpris/MprisState.h"

namespace orvane {

// The player on the session bus as an MPRIS2 media player, at /org/mpris/MediaPlayer2. The bus
// only hears of changes through PropertiesChanged, which Qt does not send for adaptors, so the
// service polls its host a few times a second and signals what changed; every command is
// followed by a poll too, so its effect is announced at once.
// Qt hands a call's D-Bus context to the registered object, not to its adaptors.
class MprisService final : public QObject, public QDBusContext {
    Q_OBJECT
  public:
    static constexpr int kPollIntervalMs = 250;

    // Takes the well-known name, or a per-process one when another instance holds it. Without a
    // bus it stays unregistered and idle.
    MprisService(MprisHost& host, QDBusConnection bus, QObject* parent = nullptr);
    // Gives up the name and the object.
    ~MprisService() override;

    bool isRegistered() const { return !m_serviceName.isEmpty(); }
    QString serviceName() const { return m_serviceName; }

    // Reads the host and signals whatever changed since the last look.
    void refresh();

    // For the adaptors: the host, and its state as last signalled after a fresh look.
    MprisHost& host() { return m_host; }
    const mpris::ChangeTracker& current();

  private:
    MprisHost& m_host;
    QDBusConnection m_bus;
    QString m_serviceName;
    mpris::ChangeTracker m_tracker;
    QTimer m_poll;
};

}  // namespace orvane
