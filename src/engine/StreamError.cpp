// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/StreamError.h"

#include <gst/gst.h>

#include <utility>

namespace orvane {

namespace {

bool is(const StreamError& e, GQuark domain) {
    return e.domain == domain;
}

QString httpReason(int status, const QString& message) {
    // The standard phrase where there is one: servers word theirs freely ("File Not Found").
    static const std::pair<int, const char*> phrases[] = {
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {410, "Gone"},
        {500, "Internal Server Error"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
    };
    for (const auto& [code, phrase] : phrases) {
        if (code == status) {
            return QStringLiteral("HTTP %1 %2").arg(status).arg(QLatin1String(phrase));
        }
    }
    const QString text = message.trimmed();
    return text.isEmpty() ? QStringLiteral("HTTP %1").arg(status)
                          : QStringLiteral("HTTP %1 %2").arg(status).arg(text);
}

// Why, in the words a user can check against what the browser says about the same server.
QString untrustedText(CertificateProblem why) {
    const QString text = QStringLiteral("The server's certificate is not trusted");
    switch (why) {
        case CertificateProblem::SelfSigned:
            return text + QStringLiteral(" (self-signed)");
        case CertificateProblem::UnknownIssuer:
            return text + QStringLiteral(" (unknown issuer)");
        case CertificateProblem::WrongHost:
            return text + QStringLiteral(" (issued for another host)");
        case CertificateProblem::Expired:
            return text + QStringLiteral(" (expired)");
        case CertificateProblem::NotYetValid:
            return text + QStringLiteral(" (not yet valid)");
        case CertificateProblem::None:
        case CertificateProblem::Untrusted:
            break;
    }
    return text;
}

}  // namespace

bool isUnknownData(const StreamError& e) {
    if (is(e, GST_STREAM_ERROR)) {
        return e.code == GST_STREAM_ERROR_TYPE_NOT_FOUND || e.code == GST_STREAM_ERROR_WRONG_TYPE ||
               e.code == GST_STREAM_ERROR_CODEC_NOT_FOUND || e.code == GST_STREAM_ERROR_DECODE ||
               e.code == GST_STREAM_ERROR_DEMUX;
    }
    return is(e, GST_CORE_ERROR) && e.code == GST_CORE_ERROR_MISSING_PLUGIN;
}

bool isVague(const StreamError& e) {
    // "Internal data stream error." with "streaming stopped, reason error (-5)" and nothing
    // more: the flow error of a source that gave up.
    return is(e, GST_STREAM_ERROR) && e.code == GST_STREAM_ERROR_FAILED && e.httpStatus == 0 &&
           e.connect == StreamError::Connect::Unknown;
}

bool isPermanent(const StreamError& e) {
    if (is(e, GST_RESOURCE_ERROR)) {
        // A local file: the network has nothing to do with it.
        return (e.code == GST_RESOURCE_ERROR_NOT_FOUND && e.httpStatus == 0) ||
               e.code == GST_RESOURCE_ERROR_OPEN_READ_WRITE;
    }
    if (is(e, GST_CORE_ERROR)) {
        return e.code == GST_CORE_ERROR_MISSING_PLUGIN;
    }
    return is(e, GST_STREAM_ERROR) && e.code == GST_STREAM_ERROR_CODEC_NOT_FOUND;
}

QString describe(const StreamError& e) {
    switch (e.connect) {
        case StreamError::Connect::Refused:
            return QStringLiteral("Connection refused");
        case StreamError::Connect::HostNotFound:
            return e.host.isEmpty() ? QStringLiteral("Host not found")
                                    : QStringLiteral("Host not found (%1)").arg(e.host);
        case StreamError::Connect::TimedOut:
            return QStringLiteral("Timed out");
        case StreamError::Connect::Untrusted:
            return untrustedText(e.certificate);
        case StreamError::Connect::Unknown:
            break;
    }
    if (isVague(e)) {
        if (e.gotData) {
            return QStringLiteral("Connection lost");
        }
        return e.host.isEmpty() ? QStringLiteral("Cannot connect")
                                : QStringLiteral("Cannot connect to %1").arg(e.host);
    }
    if (e.httpStatus >= 300) {
        return httpReason(e.httpStatus, e.message);
    }
    if (is(e, GST_RESOURCE_ERROR)) {
        if (e.debug.contains(QLatin1String("timed out"), Qt::CaseInsensitive) ||
            e.message.contains(QLatin1String("timed out"), Qt::CaseInsensitive)) {
            return QStringLiteral("Timed out");
        }
        if (e.code == GST_RESOURCE_ERROR_NOT_FOUND) {
            return QStringLiteral("File not found");
        }
    }
    if (isUnknownData(e) &&
        !(is(e, GST_CORE_ERROR) || e.code == GST_STREAM_ERROR_CODEC_NOT_FOUND)) {
        return QStringLiteral("Not a stream");
    }
    if (e.message.isEmpty()) {
        return QStringLiteral("Unknown error");
    }
    QString text = e.message.trimmed();
    // GStreamer ends its sentences with a full stop; a status line does not.
    if (text.endsWith(u'.')) {
        text.chop(1);
    }
    return text;
}

QString inSentence(const QString& reason) {
    if (reason.size() >= 2 && reason.at(0).isUpper() && reason.at(1).isLower()) {
        return reason.at(0).toLower() + reason.mid(1);
    }
    return reason;
}

}  // namespace orvane
