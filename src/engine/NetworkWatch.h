// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <functional>

#include "engine/StreamError.h"

namespace orvane {

// Finds out why a connection to url's host failed, when the HTTP source would not say: one
// TCP connect (with the TLS handshake for https, trusting what the HTTP source trusts), closed
// again at once. Calls done on this thread with Refused, HostNotFound, TimedOut, Untrusted (with
// the certificate's problem), or Unknown when the host answers now. Abandoned (done never runs)
// when context goes away.
void probeConnection(QObject* context, const QUrl& url,
                     std::function<void(StreamError::Connect, CertificateProblem)> done);

// Tells the engine when waiting for the next retry makes no sense any more: the network came
// back (QNetworkInformation, where a backend is installed) or the machine woke from suspend
// (logind's PrepareForSleep(false) on the system bus). Where neither is available it never
// fires, and the engine's own retries carry on as they would.
class WakeWatcher : public QObject {
    Q_OBJECT
  public:
    static WakeWatcher* instance();

    // What the platform's signals end in; also the way to stand in for them.
    void notifyWake() { emit wokeUp(); }

  signals:
    void wokeUp();

  private slots:
    void onPrepareForSleep(bool sleeping);

  private:
    WakeWatcher();
};

}  // namespace orvane
