// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <functional>

#include "playlists/Playlist.h"
#include "playlists/TlsTrust.h"

class QNetworkAccessManager;
class QNetworkReply;
template <typename T>
class QFutureWatcher;

namespace orvane {

struct DownloadLimits {
    qint64 maxBytes = kMaxPlaylistBytes;
    int timeoutMs = 10000;  // from request to last byte, redirects included
    int maxRedirects = 5;
};

struct FileRead {
    QByteArray body;
    QString error;
};

// One capped download of one URL: http(s) through Qt Network, a local file on a pool thread (a
// file on a stalled network mount must not freeze the window). It reports through `changed`
// whenever it learns something (headers, data, the end), and never after stop(). Everything it
// owns is a child, so destroying its parent ends it even when a deferred delete is pending.
class Download : public QObject {
  public:
    Download(QNetworkAccessManager* nam, const QUrl& url, const DownloadLimits& limits,
             QObject* parent, std::function<void()> changed);
    ~Download() override;

    // Closes the connection and silences the download for good.
    void stop();

    bool headersKnown = false;
    QByteArray contentType;
    QByteArray body;
    QUrl finalUrl;  // after redirects: relative entries resolve against it
    bool finished = false;
    QString error;
    PlaylistError errorKind = PlaylistError::None;
    CertificateProblem certificate = CertificateProblem::None;  // why the server was refused

  private:
    void startHttp(const QUrl& url);
    void redirect(const QUrl& target);
    void startFile(const QString& path);
    void finish(const QString& failure, PlaylistError kind = PlaylistError::Fetch);
    void finishTooLarge();
    void notify();
    void release();
    QString networkError(QNetworkReply* reply) const;

    QNetworkAccessManager* const m_nam;
    const DownloadLimits m_limits;
    std::function<void()> m_changed;
    QTimer m_timer{this};
    QPointer<QNetworkReply> m_reply;
    QFutureWatcher<FileRead>* m_watcher = nullptr;
    int m_redirects = 0;
    bool m_stopped = false;
};

// Downloads are deleted from the event loop: one may be stopped from inside its own signal.
struct DownloadDeleter {
    void operator()(Download* download) const;
};

}  // namespace orvane
