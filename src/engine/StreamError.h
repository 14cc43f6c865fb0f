// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QtGlobal>

#include "playlists/TlsTrust.h"

namespace orvane {

// Why a stream failed, as GStreamer said it (domain and code of its GError, the message and the
// debug text) plus what the engine found out itself. It stays in this form until the status
// needs words, so the engine can still decide by kind what to do next.
struct StreamError {
    // What the engine found out about a connection that failed before any data came.
    // Untrusted: the server's TLS certificate was refused (certificate says why).
    enum class Connect { Unknown, Refused, HostNotFound, TimedOut, Untrusted };

    quint32 domain = 0;  // a GQuark: GST_RESOURCE_ERROR, GST_STREAM_ERROR ...
    int code = 0;
    QString message;
    QString debug;
    int httpStatus = 0;  // from the HTTP source's error details, 0 when it sent none
    Connect connect = Connect::Unknown;
    QString host;          // of the URL that failed
    bool gotData = false;  // the connection delivered data before it failed
    CertificateProblem certificate = CertificateProblem::None;

    // A reason the engine words itself (a playlist that failed to load, a pipeline that would
    // not start).
    static StreamError plain(const QString& text) {
        StreamError e;
        e.message = text;
        return e;
    }
    // A server whose certificate was refused.
    static StreamError untrusted(CertificateProblem why) {
        StreamError e;
        e.connect = Connect::Untrusted;
        e.certificate = why;
        return e;
    }

    bool isSet() const { return domain != 0 || connect != Connect::Unknown || !message.isEmpty(); }
};

// GStreamer's words for "I could not tell what this data is" or "nothing here decodes it": a
// station link that is really a playlist, or a server that sends something other than audio.
bool isUnknownData(const StreamError& error);

// Nothing the pipeline said beyond "streaming stopped": the source failed without telling why
// (souphttpsrc does so when it cannot connect), and a later, more specific error or what the
// engine finds out itself names the cause.
bool isVague(const StreamError& error);

// Trying again cannot help until something changes on this machine: no such local file, no
// element for the data, a URL scheme nothing reads.
bool isPermanent(const StreamError& error);

// The reason in a few words, fit for "Error: <reason>": "Connection refused", "Host not found
// (radio.example)", "Timed out", "The server's certificate is not trusted (self-signed)", "HTTP
// 404 Not Found", "Not a stream", "File not found", else GStreamer's own message.
QString describe(const StreamError& error);

// The same reason as it reads after "Reconnecting: ": lower case, except where the first word
// is an abbreviation ("connection refused", "HTTP 404 Not Found").
QString inSentence(const QString& reason);

}  // namespace orvane
