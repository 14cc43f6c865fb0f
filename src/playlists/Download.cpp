// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlists/Download.h"

#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPromise>
#include <QSslConfiguration>
#include <QSslError>
#include <QThreadPool>

#include "config/BuildInfo.h"

namespace orvane {

namespace {

QString sizeText(qint64 bytes) {
    constexpr qint64 kMiB = 1024 * 1024;
    return bytes % kMiB == 0 ? QStringLiteral("%1 MiB").arg(bytes / kMiB)
                             : QStringLiteral("%1 bytes").arg(bytes);
}

// "host" or "host:port", for messages about a connection.
QString hostText(const QUrl& url, bool withPort) {
    const int port = url.port();
    return withPort && port >= 0 ? QStringLiteral("%1:%2").arg(url.host()).arg(port) : url.host();
}

int httpStatus(QNetworkReply* reply) {
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool successful(QNetworkReply* reply) {
    const int status = httpStatus(reply);
    return status >= 200 && status < 300;
}

// Runs on a pool thread. Reads one byte past the cap so that "too large" can be told from
// "exactly the cap".
FileRead readLocalFile(const QString& path, qint64 maxBytes) {
    const QFileInfo info(path);
    if (!info.exists()) {
        return {{}, QStringLiteral("no such file: %1").arg(path)};
    }
    // A FIFO or a device would block the read or never end.
    if (!info.isFile()) {
        return {{}, QStringLiteral("not a regular file: %1").arg(path)};
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {{}, QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
    }
    FileRead result;
    result.body = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        result.error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    }
    return result;
}

}  // namespace

Download::Download(QNetworkAccessManager* nam, const QUrl& url, const DownloadLimits& limits,
                   QObject* parent, std::function<void()> changed)
    : QObject(parent), finalUrl(url), m_nam(nam), m_limits(limits), m_changed(std::move(changed)) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        finish(finalUrl.isLocalFile()
                   ? QStringLiteral("Timed out reading %1").arg(finalUrl.toLocalFile())
                   : QStringLiteral("Timed out (%1)").arg(hostText(finalUrl, false)));
    });
    m_timer.start(m_limits.timeoutMs);
    if (url.isLocalFile()) {
        startFile(url.toLocalFile());
    } else {
        startHttp(url);
    }
}

Download::~Download() {
    stop();
}

void Download::stop() {
    m_stopped = true;
    release();
}

void Download::startHttp(const QUrl& url) {
    // Redirects are followed here rather than by Qt Network, which can lose count in a redirect
    // loop and end with no error at all; this way the time cap also spans them.
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(build::kUserAgent));
    // No connection outlives the downloads. Qt opens a connection for each queued request before
    // it knows which one will carry it, and one that another connection beat to its request
    // would otherwise stay open, idle, for as long as Qt keeps connections (minutes): a playlist
    // is fetched once per open, so there is nothing to keep it for.
    request.setAttribute(QNetworkRequest::ConnectionCacheExpiryTimeoutSecondsAttribute, 0);
    // Qt's check for a body that unpacks far beyond its packed size starts once this much is
    // out. Nothing past the cap is a playlist, so it may start there.
    request.setDecompressedSafetyCheckThreshold(m_limits.maxBytes);
    if (url.scheme() == QLatin1StringView("https")) {
        request.setSslConfiguration(tlsConfiguration());
    }
    m_reply = m_nam->get(request);
    QNetworkReply* reply = m_reply;
    // Refused certificates are not ignored: the reply then fails, and this says why.
    connect(reply, &QNetworkReply::sslErrors, this,
            [this](const QList<QSslError>& errors) { certificate = certificateProblem(errors); });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (!successful(reply)) {
            return;
        }
        headersKnown = true;
        contentType = reply->rawHeader("Content-Type");
        finalUrl = reply->url();
        notify();  // media behind a name that claims nothing is settled by its type alone
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!m_stopped && length.isValid() && length.toLongLong() > m_limits.maxBytes) {
            finishTooLarge();
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (!successful(reply)) {
            reply->readAll();  // an error page: the status says it all
            return;
        }
        body += reply->read(m_limits.maxBytes + 1 - body.size());
        if (body.size() > m_limits.maxBytes) {
            finishTooLarge();
            return;
        }
        notify();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply->error() != QNetworkReply::NoError) {
            // Qt unpacks gzip and deflate itself. Past the threshold set above it stops at a body
            // that unpacks far beyond its size (a compression bomb) and says only "Decompression
            // failed: ", with no reason after the colon.
            const QString text = reply->errorString();
            if (text.startsWith(QLatin1StringView("Decompression failed")) &&
                text.section(QLatin1Char(':'), 1).trimmed().isEmpty()) {
                finish(QStringLiteral("Decompression failed: the playlist unpacks to more than %1")
                           .arg(sizeText(m_limits.maxBytes)),
                       PlaylistError::TooLarge);
            } else if (reply->error() == QNetworkReply::SslHandshakeFailedError &&
                       certificate != CertificateProblem::None) {
                finish(networkError(reply), PlaylistError::Certificate);
            } else {
                finish(networkError(reply));
            }
            return;
        }
        const int status = httpStatus(reply);
        const QVariant target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
        if (status >= 300 && status < 400 && target.isValid()) {
            redirect(reply->url().resolved(target.toUrl()));
            return;
        }
        if (!successful(reply)) {
            finish(status > 0
                       ? QStringLiteral("HTTP %1").arg(status)
                       : QStringLiteral("No HTTP answer (%1)").arg(hostText(finalUrl, true)));
            return;
        }
        if (reply->bytesAvailable() > 0) {
            body += reply->read(m_limits.maxBytes + 1 - body.size());
        }
        contentType = reply->rawHeader("Content-Type");
        finalUrl = reply->url();
        if (body.size() > m_limits.maxBytes) {
            finishTooLarge();
        } else {
            finish({}, PlaylistError::None);
        }
    });
}

void Download::redirect(const QUrl& target) {
    // Stations move between http and https in both directions; anything else is refused.
    if (target.scheme() != QLatin1StringView("http") &&
        target.scheme() != QLatin1StringView("https")) {
        finish(QStringLiteral("redirected to an unsupported URL"));
        return;
    }
    if (++m_redirects > m_limits.maxRedirects) {
        finish(QStringLiteral("too many redirects"));
        return;
    }
    m_reply->disconnect(this);
    m_reply->deleteLater();
    m_reply = nullptr;
    headersKnown = false;
    contentType.clear();
    body.clear();
    finalUrl = target;
    startHttp(target);
}

void Download::startFile(const QString& path) {
    auto promise = std::make_shared<QPromise<FileRead>>();
    m_watcher = new QFutureWatcher<FileRead>(this);
    connect(m_watcher, &QFutureWatcher<FileRead>::finished, this, [this] {
        const FileRead read = m_watcher->future().result();
        body = read.body;
        headersKnown = true;
        if (!read.error.isEmpty()) {
            finish(read.error);
        } else if (body.size() > m_limits.maxBytes) {
            finishTooLarge();
        } else {
            finish({}, PlaylistError::None);
        }
    });
    m_watcher->setFuture(promise->future());
    promise->start();
    const qint64 maxBytes = m_limits.maxBytes;
    QThreadPool::globalInstance()->start([promise, path, maxBytes] {
        promise->addResult(readLocalFile(path, maxBytes));
        promise->finish();
    });
}

// The words people know from other players, with the host where it says which server failed
// (a nested playlist's host is not the one the user typed).
QString Download::networkError(QNetworkReply* reply) const {
    const int status = httpStatus(reply);
    if (status >= 400) {
        const QString phrase =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
        return phrase.isEmpty() ? QStringLiteral("HTTP %1").arg(status)
                                : QStringLiteral("HTTP %1 %2").arg(status).arg(phrase);
    }
    const QUrl& url = reply->url();
    switch (reply->error()) {
        case QNetworkReply::ConnectionRefusedError:
            return QStringLiteral("Connection refused (%1)").arg(hostText(url, true));
        case QNetworkReply::HostNotFoundError:
            return QStringLiteral("Host not found (%1)").arg(url.host());
        case QNetworkReply::TimeoutError:
            return QStringLiteral("Timed out (%1)").arg(hostText(url, false));
        case QNetworkReply::RemoteHostClosedError:
            return QStringLiteral("Connection closed by the server (%1)").arg(hostText(url, true));
        case QNetworkReply::SslHandshakeFailedError:
            return QStringLiteral("Secure connection failed (%1)").arg(url.host());
        default:
            break;
    }
    return reply->errorString();
}

void Download::finishTooLarge() {
    finish(QStringLiteral("playlist is larger than %1").arg(sizeText(m_limits.maxBytes)),
           PlaylistError::TooLarge);
}

void Download::finish(const QString& failure, PlaylistError kind) {
    if (finished || m_stopped) {
        return;
    }
    finished = true;
    error = failure;
    errorKind = failure.isEmpty() ? PlaylistError::None : kind;
    release();
    notify();
}

void Download::notify() {
    if (!m_stopped) {
        m_changed();
    }
}

// Ends all I/O without a word to anyone: an aborted reply's finished() must not come back here,
// so it is disconnected first.
void Download::release() {
    m_timer.stop();
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    if (m_watcher) {
        // The worker thread finishes its read on its own; nobody listens any more.
        m_watcher->disconnect(this);
    }
}

void DownloadDeleter::operator()(Download* download) const {
    download->stop();
    download->deleteLater();
}

}  // namespace orvane
