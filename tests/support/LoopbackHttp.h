// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

namespace orvane::test {

// The answer to one HTTP request. status is 0 when no status line came back (refused,
// timed out, garbage).
struct HttpReply {
    int status = 0;
    QByteArray headers;  // raw header block, without the status line
    QByteArray body;

    // Value of one header (case-insensitive name), empty if absent.
    QByteArray header(const QByteArray& name) const;
};

// A deliberately small blocking HTTP/1.0 client for 127.0.0.1, so the fixtures can poll a local
// server without linking Qt Network or starting a process per request. With headersOnly it
// returns as soon as the header block is complete, which is what you want for an endless audio
// stream. Never blocks longer than timeoutMs.
HttpReply httpGet(quint16 port, const QByteArray& pathAndQuery, int timeoutMs = 1000,
                  const QByteArray& basicAuth = {}, bool headersOnly = false);

// A port on 127.0.0.1 that nothing listens on right now.
quint16 pickFreePort();

}  // namespace orvane::test
