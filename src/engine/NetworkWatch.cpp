// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/NetworkWatch.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QLoggingCategory>
#include <QNetworkInformation>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

Q_DECLARE_LOGGING_CATEGORY(lcEngine)

namespace orvane {

namespace {

constexpr int kProbeTimeoutMs = 5000;

}  // namespace

void probeConnection(QObject* context, const QUrl& url,
                     std::function<void(StreamError::Connect, CertificateProblem)> done) {
    // GStreamer's HTTP source (libsoup 3) reports a refused certificate as nothing but "streaming
    // stopped", so for https the check goes as far as the handshake and asks the certificate.
    // Plain http needs no TLS, and does not load it.
    QSslSocket* ssl = url.scheme() == QLatin1String("https") ? new QSslSocket(context) : nullptr;
    QTcpSocket* socket = ssl ? ssl : new QTcpSocket(context);
    auto finish = [socket, ssl, done = std::move(done)](StreamError::Connect result) {
        if (socket->property("done").toBool()) {
            return;
        }
        socket->setProperty("done", true);
        const CertificateProblem problem =
            ssl ? certificateProblem(ssl->sslHandshakeErrors()) : CertificateProblem::None;
        socket->abort();
        socket->deleteLater();
        if (result == StreamError::Connect::Unknown && problem != CertificateProblem::None) {
            result = StreamError::Connect::Untrusted;
        }
        done(result, problem);
    };
    if (ssl) {
        QObject::connect(ssl, &QSslSocket::encrypted, ssl,
                         [finish] { finish(StreamError::Connect::Unknown); });
    } else {
        QObject::connect(socket, &QTcpSocket::connected, socket,
                         [finish] { finish(StreamError::Connect::Unknown); });
    }
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket,
                     [finish](QAbstractSocket::SocketError error) {
                         switch (error) {
                             case QAbstractSocket::ConnectionRefusedError:
                                 return finish(StreamError::Connect::Refused);
                             case QAbstractSocket::HostNotFoundError:
                                 return finish(StreamError::Connect::HostNotFound);
                             case QAbstractSocket::SocketTimeoutError:
                                 return finish(StreamError::Connect::TimedOut);
                             default:
                                 return finish(StreamError::Connect::Unknown);
                         }
                     });
    QTimer::singleShot(kProbeTimeoutMs, socket,
                       [finish] { finish(StreamError::Connect::TimedOut); });
    if (ssl) {
        ssl->setSslConfiguration(tlsConfiguration());
        ssl->connectToHostEncrypted(url.host(), quint16(url.port(443)));
    } else {
        socket->connectToHost(url.host(), quint16(url.port(80)));
    }
}

WakeWatcher* WakeWatcher::instance() {
    // One per process, living as long as the application.
    static QPointer<WakeWatcher> watcher;
    if (!watcher) {
        watcher = new WakeWatcher;
        if (QCoreApplication::instance()) {
            watcher->setParent(QCoreApplication::instance());
        }
    }
    return watcher;
}

WakeWatcher::WakeWatcher() {
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        QNetworkInformation* info = QNetworkInformation::instance();
        // Only a way back from a known loss counts: the first report after start-up (from
        // Unknown) says nothing about the connections already open.
        connect(info, &QNetworkInformation::reachabilityChanged, this,
                [this, last = info->reachability()](
                    QNetworkInformation::Reachability reachability) mutable {
                    using R = QNetworkInformation::Reachability;
                    const bool back =
                        reachability == R::Online && last != R::Unknown && last != R::Online;
                    last = reachability;
                    if (back) {
                        qCInfo(lcEngine) << "the network is back";
                        notifyWake();
                    }
                });
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        bus.connect(QStringLiteral("org.freedesktop.login1"),
                    QStringLiteral("/org/freedesktop/login1"),
                    QStringLiteral("org.freedesktop.login1.Manager"),
                    QStringLiteral("PrepareForSleep"), this, SLOT(onPrepareForSleep(bool)));
    }
}

void WakeWatcher::onPrepareForSleep(bool sleeping) {
    if (!sleeping) {
        qCInfo(lcEngine) << "the machine woke up";
        notifyWake();
    }
}

}  // namespace orvane
