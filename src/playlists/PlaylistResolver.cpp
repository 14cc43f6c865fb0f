// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlists/PlaylistResolver.h"

#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QPromise>
#include <QSet>
#include <QThreadPool>
#include <QTimer>
#include <functional>
#include <vector>

#include "config/BuildInfo.h"

namespace orvane {

namespace {

// Once this much of a body is in, it is clear whether it is text or media.
constexpr qsizetype kSniffBytes = 512;

const QString kNoEntries = QStringLiteral("playlist has no playable entries");

bool isFetchable(const QUrl& url) {
    return url.scheme() == QLatin1StringView("http") ||
           url.scheme() == QLatin1StringView("https") || url.isLocalFile();
}

QString sizeText(qint64 bytes) {
    constexpr qint64 kMiB = 1024 * 1024;
    return bytes % kMiB == 0 ? QStringLiteral("%1 MiB").arg(bytes / kMiB)
                             : QStringLiteral("%1 bytes").arg(bytes);
}

struct FileRead {
    QByteArray body;
    QString error;
};

// Runs on a pool thread: a file on a stalled network mount must not freeze the window. Reads
// one byte past the cap so that "too large" can be told from "exactly the cap".
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

// One capped download of one URL. It reports through `changed` whenever it learns something
// (headers, data, the end), and never after stop(). Everything it owns is a child, so
// destroying the resolver ends it even when a deferred delete is still pending.
class Download : public QObject {
  public:
    Download(QNetworkAccessManager* nam, const QUrl& url, const PlaylistResolver::Limits& limits,
             QObject* parent, std::function<void()> changed)
        : QObject(parent), finalUrl(url), m_limits(limits), m_changed(std::move(changed)) {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            finish(QStringLiteral("playlist download timed out after %1 s")
                       .arg(m_limits.timeoutMs / 1000.0));
        });
        m_timer.start(m_limits.timeoutMs);
        if (url.isLocalFile()) {
            startFile(url.toLocalFile());
        } else {
            startHttp(nam, url);
        }
    }

    ~Download() override { stop(); }

    // Closes the connection and silences the download for good.
    void stop() {
        m_stopped = true;
        release();
    }

    bool headersKnown = false;
    QByteArray contentType;
    QByteArray body;
    QUrl finalUrl;  // after redirects: relative entries resolve against it
    bool finished = false;
    QString error;

  private:
    void startHttp(QNetworkAccessManager* nam, const QUrl& url) {
        // Redirects are followed here rather than by Qt Network, which can lose count in a
        // redirect loop and end with no error at all; this way the time cap also spans them.
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(build::kUserAgent));
        m_reply = nam->get(request);
        QNetworkReply* reply = m_reply;
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
                finish(tooLarge());
            }
        });
        connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
            if (!successful(reply)) {
                reply->readAll();  // an error page: the status says it all
                return;
            }
            body += reply->read(m_limits.maxBytes + 1 - body.size());
            if (body.size() > m_limits.maxBytes) {
                finish(tooLarge());
                return;
            }
            notify();
        });
        connect(reply, &QNetworkReply::finished, this, [this, nam, reply] {
            if (reply->error() != QNetworkReply::NoError) {
                finish(errorText(reply));
                return;
            }
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QVariant target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
            if (status >= 300 && status < 400 && target.isValid()) {
                redirect(nam, reply->url().resolved(target.toUrl()));
                return;
            }
            if (!successful(reply)) {
                finish(status > 0 ? QStringLiteral("HTTP %1").arg(status)
                                  : QStringLiteral("no HTTP answer"));
                return;
            }
            if (reply->bytesAvailable() > 0) {
                body += reply->read(m_limits.maxBytes + 1 - body.size());
            }
            contentType = reply->rawHeader("Content-Type");
            finalUrl = reply->url();
            finish(body.size() > m_limits.maxBytes ? tooLarge() : QString());
        });
    }

    void redirect(QNetworkAccessManager* nam, const QUrl& target) {
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
        startHttp(nam, target);
    }

    void startFile(const QString& path) {
        auto promise = std::make_shared<QPromise<FileRead>>();
        m_watcher = new QFutureWatcher<FileRead>(this);
        connect(m_watcher, &QFutureWatcher<FileRead>::finished, this, [this] {
            const FileRead read = m_watcher->future().result();
            body = read.body;
            headersKnown = true;
            QString failure = read.error;
            if (failure.isEmpty() && body.size() > m_limits.maxBytes) {
                failure = tooLarge();
            }
            finish(failure);
        });
        m_watcher->setFuture(promise->future());
        promise->start();
        const qint64 maxBytes = m_limits.maxBytes;
        QThreadPool::globalInstance()->start([promise, path, maxBytes] {
            promise->addResult(readLocalFile(path, maxBytes));
            promise->finish();
        });
    }

    static bool successful(QNetworkReply* reply) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return status >= 200 && status < 300;
    }

    static QString errorText(QNetworkReply* reply) {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 400) {
            const QString phrase =
                reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
            return phrase.isEmpty() ? QStringLiteral("HTTP %1").arg(status)
                                    : QStringLiteral("HTTP %1 %2").arg(status).arg(phrase);
        }
        return reply->errorString();
    }

    QString tooLarge() const {
        return QStringLiteral("playlist is larger than %1").arg(sizeText(m_limits.maxBytes));
    }

    void finish(const QString& failure) {
        if (finished || m_stopped) {
            return;
        }
        finished = true;
        error = failure;
        release();
        notify();
    }

    void notify() {
        if (!m_stopped) {
            m_changed();
        }
    }

    // Ends all I/O without a word to anyone: an aborted reply's finished() must not come back
    // here, so it is disconnected first.
    void release() {
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

    PlaylistResolver::Limits m_limits;
    std::function<void()> m_changed;
    QTimer m_timer{this};
    QPointer<QNetworkReply> m_reply;
    QFutureWatcher<FileRead>* m_watcher = nullptr;
    int m_redirects = 0;
    bool m_stopped = false;
};

// Downloads are deleted from the event loop: one may be stopped from inside its own signal.
struct DownloadDeleter {
    void operator()(Download* download) const {
        download->stop();
        download->deleteLater();
    }
};

}  // namespace

// The resolve is a tree: the URL asked for at the root, and below each playlist the playlists
// it names. Children download side by side, so a resolve takes at most one timeout per level.
class PlaylistResolver::Private {
  public:
    enum class Outcome { Pending, AsIs, Entries, Error };

    struct Node;
    struct Item {
        PlaylistEntry entry;          // a stream, when there is no child
        std::unique_ptr<Node> child;  // a playlist to expand
    };
    struct Node {
        QUrl url;
        QString title;
        int depth = 1;
        bool expectPlaylist = false;
        QStringList chain;  // this playlist and all above it, for loop detection
        Node* parent = nullptr;
        Outcome outcome = Outcome::Pending;
        QString error;
        bool headersChecked = false;
        bool sniffed = false;
        std::unique_ptr<Download, DownloadDeleter> download;
        std::vector<Item> items;
        int pendingChildren = 0;
    };

    Private(PlaylistResolver* owner, const Limits& limits)
        : q(owner), limits(limits), nam(new QNetworkAccessManager(owner)) {}

    void start(const QUrl& asked, bool knownPlaylist) {
        QUrl url = asked;
        if (url.scheme().isEmpty() && url.path().startsWith(QLatin1Char('/'))) {
            url = QUrl::fromLocalFile(url.path());
        } else if (url.scheme() == QLatin1StringView("icy")) {
            url.setScheme(QStringLiteral("http"));
        }
        busy = true;
        fetches = 0;
        root = std::make_unique<Node>();
        root->url = url;
        root->expectPlaylist = knownPlaylist;
        root->chain = {urlKey(url)};
        if (!url.isValid() || url.isRelative()) {
            settle(root.get(), Outcome::Error, QStringLiteral("invalid URL"));
        } else if (!isFetchable(url)) {
            if (knownPlaylist) {
                settle(root.get(), Outcome::Error,
                       QStringLiteral("cannot fetch a playlist over %1").arg(url.scheme()));
            } else {
                settle(root.get(), Outcome::AsIs);
            }
        } else {
            fetch(root.get());
        }
    }

    void cancel() {
        ++generation;
        root.reset();
        busy = false;
    }

    void fetch(Node* node) {
        ++fetches;
        node->download.reset(
            new Download(nam, node->url, limits, q, [this, node] { onDownloadChanged(node); }));
    }

    void onDownloadChanged(Node* node) {
        if (node->outcome != Outcome::Pending) {
            return;
        }
        const Download& download = *node->download;
        // Only the URL's name or the caller can make media an error; a media type from the
        // server cannot, since video/x-ms-asf names ASF streams and ASX files alike.
        const bool claimed = node->expectPlaylist || looksLikePlaylistUrl(node->url);
        if (download.headersKnown && !node->headersChecked) {
            node->headersChecked = true;
            if (!claimed && isMediaContentType(download.contentType)) {
                settle(node, Outcome::AsIs);
                return;
            }
        }
        if (!node->sniffed && (download.body.size() >= kSniffBytes || download.finished)) {
            node->sniffed = true;
            if (looksBinary(download.body)) {
                if (claimed) {
                    settle(node, Outcome::Error, QStringLiteral("not a playlist (binary data)"));
                } else {
                    settle(node, Outcome::AsIs);
                }
                return;
            }
        }
        if (!download.finished) {
            return;
        }
        if (!download.error.isEmpty()) {
            settle(node, Outcome::Error, download.error);
            return;
        }
        const PlaylistFormat format =
            detectPlaylistFormat(download.contentType, node->url, download.body);
        if (format == PlaylistFormat::Hls) {
            settle(node, Outcome::AsIs);
            return;
        }
        if (format == PlaylistFormat::NotPlaylist) {
            if (claimed ||
                formatFromContentType(download.contentType) != PlaylistFormat::NotPlaylist) {
                settle(node, Outcome::Error, QStringLiteral("not a playlist"));
            } else {
                settle(node, Outcome::AsIs);
            }
            return;
        }
        const PlaylistParse parse = parsePlaylist(format, download.body, download.finalUrl);
        if (parse.entries.isEmpty()) {
            settle(node, Outcome::Error, parse.error);
            return;
        }
        const QString finalKey = urlKey(download.finalUrl);
        if (!node->chain.contains(finalKey)) {
            node->chain.append(finalKey);
        }
        expand(node, parse.entries);
    }

    // Streams stay as they are; playlists become children, fetched side by side. A child that
    // cannot be fetched at all fails at once and is dropped when the tree is flattened.
    void expand(Node* node, const QList<PlaylistEntry>& entries) {
        node->outcome = Outcome::Entries;
        std::vector<Node*> toFetch;
        for (const PlaylistEntry& entry : entries) {
            Item item;
            item.entry = entry;
            if ((entry.playlist || looksLikePlaylistUrl(entry.url)) && isFetchable(entry.url)) {
                auto child = std::make_unique<Node>();
                child->url = entry.url;
                child->title = entry.title;
                child->depth = node->depth + 1;
                child->expectPlaylist = entry.playlist;
                child->parent = node;
                const QString key = urlKey(entry.url);
                child->chain = node->chain;
                child->chain.append(key);
                if (node->chain.contains(key)) {
                    child->outcome = Outcome::Error;
                    child->error = QStringLiteral("playlists refer to each other in a loop");
                } else if (child->depth > limits.maxDepth) {
                    child->outcome = Outcome::Error;
                    child->error = QStringLiteral("playlists nested more than %1 levels deep")
                                       .arg(limits.maxDepth);
                } else if (fetches + static_cast<int>(toFetch.size()) >= limits.maxFetches) {
                    child->outcome = Outcome::Error;
                    child->error = QStringLiteral("too many nested playlists");
                } else {
                    toFetch.push_back(child.get());
                }
                item.child = std::move(child);
            }
            node->items.push_back(std::move(item));
        }
        node->pendingChildren = static_cast<int>(toFetch.size());
        if (toFetch.empty()) {
            done(node);
            return;
        }
        // Downloads report from the event loop only, so the count above cannot run out while
        // this loop still starts them.
        for (Node* child : toFetch) {
            fetch(child);
        }
    }

    void settle(Node* node, Outcome outcome, const QString& error = {}) {
        node->outcome = outcome;
        node->error = error;
        if (node->download) {
            node->download->stop();
        }
        done(node);
    }

    // A node has its final outcome: tell the parent, and finish the resolve at the root.
    void done(Node* node) {
        while (node->parent) {
            node = node->parent;
            if (--node->pendingChildren > 0) {
                return;
            }
        }
        finishRoot();
    }

    void flatten(const Node& node, const QString& inheritedTitle, QList<PlaylistEntry>* out,
                 QSet<QString>* seen, QString* firstError) const {
        const auto add = [&](PlaylistEntry entry, const QString& fallbackTitle) {
            // The same stream twice would only be tried twice.
            const QString key = urlKey(entry.url);
            if (out->size() >= limits.maxStreams || seen->contains(key)) {
                return;
            }
            seen->insert(key);
            if (entry.title.isEmpty()) {
                entry.title = fallbackTitle;
            }
            entry.playlist = false;
            out->append(entry);
        };
        for (const Item& item : node.items) {
            const Node* child = item.child.get();
            if (!child) {
                add(item.entry, inheritedTitle);
                continue;
            }
            const QString title = child->title.isEmpty() ? inheritedTitle : child->title;
            switch (child->outcome) {
                case Outcome::AsIs:
                    add({child->url, {}, false}, title);
                    break;
                case Outcome::Entries:
                    flatten(*child, title, out, seen, firstError);
                    break;
                case Outcome::Error:
                case Outcome::Pending:
                    if (firstError->isEmpty()) {
                        *firstError = child->error;
                    }
                    break;
            }
        }
    }

    void finishRoot() {
        PlaylistResult result;
        result.url = root->url;
        switch (root->outcome) {
            case Outcome::AsIs:
                result.kind = PlaylistResult::Kind::PlayAsIs;
                break;
            case Outcome::Error:
            case Outcome::Pending:
                result.kind = PlaylistResult::Kind::Error;
                result.error = root->error;
                break;
            case Outcome::Entries: {
                QSet<QString> seen;
                QString firstError;
                flatten(*root, {}, &result.streams, &seen, &firstError);
                if (result.streams.isEmpty()) {
                    result.kind = PlaylistResult::Kind::Error;
                    result.error = firstError.isEmpty() ? kNoEntries : firstError;
                } else {
                    result.kind = PlaylistResult::Kind::Streams;
                }
                break;
            }
        }
        // Delivered from the event loop: here we may be deep inside a reply's signal, and the
        // receiver may well start the next resolve or delete us.
        const quint64 expected = generation;
        QMetaObject::invokeMethod(
            q,
            [this, expected, result] {
                if (generation != expected) {
                    return;
                }
                root.reset();
                busy = false;
                emit q->finished(result);
            },
            Qt::QueuedConnection);
    }

    PlaylistResolver* const q;
    const Limits limits;
    QNetworkAccessManager* const nam;
    std::unique_ptr<Node> root;
    quint64 generation = 0;
    int fetches = 0;
    bool busy = false;
};

PlaylistResolver::PlaylistResolver(QObject* parent) : PlaylistResolver(Limits(), parent) {}

PlaylistResolver::PlaylistResolver(const Limits& limits, QObject* parent)
    : QObject(parent), d(std::make_unique<Private>(this, limits)) {}

PlaylistResolver::~PlaylistResolver() {
    d->cancel();
}

void PlaylistResolver::resolve(const QUrl& url) {
    start(url, false);
}

void PlaylistResolver::resolveKnownPlaylist(const QUrl& url) {
    start(url, true);
}

void PlaylistResolver::start(const QUrl& url, bool knownPlaylist) {
    d->cancel();
    d->start(url, knownPlaylist);
}

void PlaylistResolver::cancel() {
    d->cancel();
}

bool PlaylistResolver::isBusy() const {
    return d->busy;
}

const PlaylistResolver::Limits& PlaylistResolver::limits() const {
    return d->limits;
}

}  // namespace orvane
