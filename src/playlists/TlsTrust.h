// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QString>

class QSslError;
class QSslConfiguration;

namespace orvane {

// What HTTPS connections trust, and why a server's certificate was refused. The playlist
// downloads and the engine (its HTTP source and its own connection check) share it, so that a
// server is trusted or refused alike on every path.

// Why a certificate was refused, as far as the check tells. Of several faults at once the first
// in this order is named: a self-signed certificate is not made good by the right name.
enum class CertificateProblem {
    None,           // the certificate was fine (or the connection failed for another reason)
    SelfSigned,     // signed by nobody but itself (a captive portal's or a device's own)
    UnknownIssuer,  // signed by an authority this machine does not know
    WrongHost,      // made out for another host name
    Expired,
    NotYetValid,  // often a clock that is wrong, here or on the server
    Untrusted,    // refused for a reason none of the others names
};

// The problem that Qt's list of TLS errors names; None when none of them is about the
// certificate.
CertificateProblem certificateProblem(const QList<QSslError>& errors);

// A PEM file of the certificate authorities that HTTPS connections trust instead of the
// system's, named by ORVANE_TEST_CA_FILE; empty when unset (the system's authorities). Read
// once. Tests serve HTTPS signed by an authority of their own this way, without touching the
// machine's trust store.
QString testCaFile();

// The TLS set-up of a Qt connection: Qt's default, with the authorities of testCaFile() in place
// of the system's when it is set.
QSslConfiguration tlsConfiguration();

}  // namespace orvane
