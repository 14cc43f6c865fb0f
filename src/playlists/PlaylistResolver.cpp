// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlists/PlaylistResolver.h"

#include <QFutureWatcher>
#include <QNetworkAccessManager>
#include <QPromise>
#include <QSet>
#include <QThreadPool>
#include <vector>

#include "playlists/Download.h"

namespace orvane {

namespace {

// Once this much of a body is in, it is clear whether it is text or media.
constexpr qsizetype kMediaSniffBytes = 512;

const QString kNoEntries = QStringLiteral("playlist has no playable entries");

enum class Outcome { Pending, AsIs, Entries, Error };

// What a whole body turned out to be.
struct Verdict {
    Outcome outcome = Outcome::Error;
    QString error;
    PlaylistError errorKind = PlaylistError::None;
    QList<PlaylistEntry> entries;
};

// Runs on a pool thread: parsing is linear, but a 1 MiB body is still milliseconds the window
// should not wait, and a list of 31 of them more. claimed: the URL's name or the caller says
// playlist, so anything else is an error rather than media to play as it is.
Verdict readBody(const QByteArray& contentType, const QUrl& url, const QUrl& finalUrl,
                 const QByteArray& body, bool claimed) {
    const PlaylistFormat format = detectPlaylistFormat(contentType, url, body);
    if (format == PlaylistFormat::Hls) {
        return {Outcome::AsIs, {}, PlaylistError::None, {}};
    }
    if (format == PlaylistFormat::NotPlaylist) {
        if (claimed || formatFromContentType(contentType) != PlaylistFormat::NotPlaylist) {
            return {
                Outcome::Error, QStringLiteral("not a playlist"), PlaylistError::NotPlaylist, {}};
        }
        return {Outcome::AsIs, {}, PlaylistError::None, {}};
    }
    PlaylistParse parse = parsePlaylist(format, body, finalUrl);
    if (parse.entries.isEmpty()) {
        return {Outcome::Error, parse.error, parse.errorKind, {}};
    }
    return {Outcome::Entries, {}, PlaylistError::None, std::move(parse.entries)};
}

}  // namespace

// The resolve is a tree: the URL asked for at the root, and below each playlist the playlists
// it names. Children download side by side, so a resolve takes at most one timeout per level.
class PlaylistResolver::Private {
  public:
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
        PlaylistError errorKind = PlaylistError::None;
        CertificateProblem certificate = CertificateProblem::None;
        bool headersChecked = false;
        bool sniffed = false;
        std::unique_ptr<Download, DownloadDeleter> download;
        std::unique_ptr<QFutureWatcher<Verdict>> reading;  // the body, on a pool thread
        std::vector<Item> items;
        int pendingChildren = 0;
    };

    Private(PlaylistResolver* owner, const Limits& limits)
        : q(owner), limits(limits), nam(new QNetworkAccessManager(owner)) {}

    void start(const QUrl& asked, bool knownPlaylist) {
        const QUrl url = toMediaUrl(asked.toString());
        busy = true;
        fetches = 0;
        root = std::make_unique<Node>();
        root->url = url;
        root->expectPlaylist = knownPlaylist;
        root->chain = {urlKey(url)};
        if (!url.isValid() || url.isRelative()) {
            settle(root.get(), Outcome::Error, QStringLiteral("invalid URL"),
                   PlaylistError::InvalidUrl);
        } else if (!isFetchable(url)) {
            if (knownPlaylist) {
                settle(root.get(), Outcome::Error,
                       QStringLiteral("cannot fetch a playlist over %1").arg(url.scheme()),
                       PlaylistError::InvalidUrl);
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
        const DownloadLimits downloadLimits{limits.maxBytes, limits.timeoutMs, limits.maxRedirects};
        node->download.reset(new Download(nam, node->url, downloadLimits, q,
                                          [this, node] { onDownloadChanged(node); }));
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
        if (!node->sniffed && (download.body.size() >= kMediaSniffBytes || download.finished)) {
            node->sniffed = true;
            if (looksBinary(download.body)) {
                if (claimed) {
                    settle(node, Outcome::Error, QStringLiteral("not a playlist (binary data)"),
                           PlaylistError::NotPlaylist);
                } else {
                    settle(node, Outcome::AsIs);
                }
                return;
            }
        }
        if (!download.finished || node->reading) {
            return;
        }
        if (!download.error.isEmpty()) {
            node->certificate = download.certificate;
            settle(node, Outcome::Error, download.error, download.errorKind);
            return;
        }
        read(node, claimed);
    }

    // Detects and parses the body on a pool thread. A node that dies first (cancel, a new
    // resolve, the resolver's end) takes its watcher with it, so no answer reaches it.
    void read(Node* node, bool claimed) {
        const Download& download = *node->download;
        auto promise = std::make_shared<QPromise<Verdict>>();
        node->reading = std::make_unique<QFutureWatcher<Verdict>>();
        QObject::connect(node->reading.get(), &QFutureWatcher<Verdict>::finished, q,
                         [this, node] { onRead(node, node->reading->future().result()); });
        node->reading->setFuture(promise->future());
        promise->start();
        QThreadPool::globalInstance()->start([promise, type = download.contentType, url = node->url,
                                              finalUrl = download.finalUrl, body = download.body,
                                              claimed] {
            promise->addResult(readBody(type, url, finalUrl, body, claimed));
            promise->finish();
        });
    }

    void onRead(Node* node, const Verdict& verdict) {
        if (verdict.outcome != Outcome::Entries) {
            settle(node, verdict.outcome, verdict.error, verdict.errorKind);
            return;
        }
        const QString finalKey = urlKey(node->download->finalUrl);
        if (!node->chain.contains(finalKey)) {
            node->chain.append(finalKey);
        }
        // The body has served its purpose: a list of 31 big playlists need not keep them all.
        node->download.reset();
        expand(node, verdict.entries);
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
                    refuse(child.get(), QStringLiteral("playlists refer to each other in a loop"));
                } else if (child->depth > limits.maxDepth) {
                    refuse(child.get(), QStringLiteral("playlists nested more than %1 levels deep")
                                            .arg(limits.maxDepth));
                } else if (fetches + static_cast<int>(toFetch.size()) >= limits.maxFetches) {
                    refuse(child.get(), QStringLiteral("too many nested playlists"));
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

    static void refuse(Node* child, const QString& why) {
        child->outcome = Outcome::Error;
        child->error = why;
        child->errorKind = PlaylistError::Nesting;
    }

    void settle(Node* node, Outcome outcome, const QString& error = {},
                PlaylistError kind = PlaylistError::None) {
        node->outcome = outcome;
        node->error = error;
        node->errorKind = kind;
        node->download.reset();  // stops it; deleted from the event loop
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
                 QSet<QString>* seen, const Node** firstFailure) const {
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
                    flatten(*child, title, out, seen, firstFailure);
                    break;
                case Outcome::Error:
                case Outcome::Pending:
                    if (!*firstFailure) {
                        *firstFailure = child;
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
                result.errorKind = root->errorKind;
                result.certificate = root->certificate;
                break;
            case Outcome::Entries: {
                QSet<QString> seen;
                const Node* firstFailure = nullptr;
                flatten(*root, {}, &result.streams, &seen, &firstFailure);
                if (result.streams.isEmpty()) {
                    // Nothing left: the first failure is the reason.
                    result.kind = PlaylistResult::Kind::Error;
                    result.error = firstFailure ? firstFailure->error : kNoEntries;
                    result.errorKind =
                        firstFailure ? firstFailure->errorKind : PlaylistError::NoEntries;
                    if (firstFailure) {
                        result.certificate = firstFailure->certificate;
                    }
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

}  // namespace orvane
