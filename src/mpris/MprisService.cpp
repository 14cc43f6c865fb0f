// SPDX-License-Identifier: GPL-3.0-or-later
#include "mpris/MprisService.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <cmath>

#include "config/BuildInfo.h"
#include "mpris/MprisAdaptors.h"

namespace orvane {

MprisService::MprisService(MprisHost& host, QDBusConnection bus, QObject* parent)
    : QObject(parent), m_host(host), m_bus(std::move(bus)), m_tracker(mpris::installedIconUrl()) {
    new MprisRootAdaptor(this);
    new MprisPlayerAdaptor(this);
    if (!m_bus.isConnected()) {
        return;
    }
    const QString path = QString::fromLatin1(mpris::kObjectPath);
    if (!m_bus.registerObject(path, this, QDBusConnection::ExportAdaptors)) {
        return;
    }
    // The object is in place before the name appears, so a desktop that reacts to the new name
    // at once finds it.
    const QString wellKnown = QString::fromLatin1(mpris::kServiceName);
    const QString perProcess =
        wellKnown + QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
    for (const QString& name : {wellKnown, perProcess}) {
        if (m_bus.registerService(name)) {
            m_serviceName = name;
            break;
        }
    }
    if (m_serviceName.isEmpty()) {
        m_bus.unregisterObject(path);
        return;
    }
    m_tracker.update(m_host.state());
    m_poll.setInterval(kPollIntervalMs);
    connect(&m_poll, &QTimer::timeout, this, &MprisService::refresh);
    m_poll.start();
}

MprisService::~MprisService() {
    if (isRegistered()) {
        m_bus.unregisterService(m_serviceName);
        m_bus.unregisterObject(QString::fromLatin1(mpris::kObjectPath));
    }
}

void MprisService::refresh() {
    if (!isRegistered()) {
        return;
    }
    const QVariantMap changed = m_tracker.update(m_host.state());
    if (changed.isEmpty()) {
        return;
    }
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(mpris::kObjectPath), QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(mpris::kPlayerInterface) << changed << QStringList();
    m_bus.send(signal);
}

const mpris::ChangeTracker& MprisService::current() {
    // Answer what was last signalled, after signalling anything new: a reader never sees a
    // value that no PropertiesChanged announced.
    refresh();
    return m_tracker;
}

// --- org.mpris.MediaPlayer2

MprisRootAdaptor::MprisRootAdaptor(MprisService* service)
    : QDBusAbstractAdaptor(service), m_service(service) {}

QString MprisRootAdaptor::identity() const {
    return QStringLiteral("Orvane Player");
}

// The installed .desktop file's name, without its extension.
QString MprisRootAdaptor::desktopEntry() const {
    return QLatin1StringView(build::kDesktopId);
}

QStringList MprisRootAdaptor::supportedUriSchemes() const {
    return mpris::supportedUriSchemes();
}

QStringList MprisRootAdaptor::supportedMimeTypes() const {
    return mpris::supportedMimeTypes();
}

void MprisRootAdaptor::Raise() {
    m_service->host().raise();
    m_service->refresh();
}

void MprisRootAdaptor::Quit() {
    m_service->host().quit();
}

// --- org.mpris.MediaPlayer2.Player

MprisPlayerAdaptor::MprisPlayerAdaptor(MprisService* service)
    : QDBusAbstractAdaptor(service), m_service(service) {}

QString MprisPlayerAdaptor::playbackStatus() const {
    return m_service->current().state().playing ? QStringLiteral("Playing")
                                                : QStringLiteral("Stopped");
}

QVariantMap MprisPlayerAdaptor::metadata() const {
    return m_service->current().metadata();
}

double MprisPlayerAdaptor::volume() const {
    return mpris::busVolume(m_service->current().state().volume);
}

void MprisPlayerAdaptor::setVolume(double volume) {
    if (const auto percent = mpris::volumePercent(volume)) {
        m_service->host().setVolume(*percent);
        m_service->refresh();
    }
}

qlonglong MprisPlayerAdaptor::position() const {
    const double seconds = m_service->host().elapsedSeconds();
    return std::isfinite(seconds) && seconds > 0 ? qlonglong(std::floor(seconds * 1e6)) : 0;
}

bool MprisPlayerAdaptor::canGoNext() const {
    return m_service->current().state().canGoNext;
}

bool MprisPlayerAdaptor::canGoPrevious() const {
    return m_service->current().state().canGoPrevious;
}

void MprisPlayerAdaptor::Next() {
    m_service->host().next();
    m_service->refresh();
}

void MprisPlayerAdaptor::Previous() {
    m_service->host().previous();
    m_service->refresh();
}

void MprisPlayerAdaptor::Pause() {
    Stop();
}

void MprisPlayerAdaptor::PlayPause() {
    m_service->host().togglePlayback();
    m_service->refresh();
}

void MprisPlayerAdaptor::Stop() {
    m_service->host().stop();
    m_service->refresh();
}

void MprisPlayerAdaptor::Play() {
    m_service->host().play();
    m_service->refresh();
}

// CanSeek is false: seeking does nothing.
void MprisPlayerAdaptor::Seek(qlonglong /*Offset*/) {}
void MprisPlayerAdaptor::SetPosition(const QDBusObjectPath& /*TrackId*/, qlonglong /*Position*/) {}

void MprisPlayerAdaptor::OpenUri(const QString& Uri) {
    if (!mpris::isSupportedUri(Uri)) {
        if (m_service->calledFromDBus()) {
            m_service->sendErrorReply(QDBusError::NotSupported,
                                      QStringLiteral("Orvane Player cannot open %1").arg(Uri));
        }
        return;
    }
    m_service->host().openUri(Uri);
    m_service->refresh();
}

}  // namespace orvane
