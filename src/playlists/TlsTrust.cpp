// SPDX-License-Identifier: GPL-3.0-or-later
#include "playlists/TlsTrust.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>

namespace orvane {

CertificateProblem certificateProblem(const QList<QSslError>& errors) {
    using P = CertificateProblem;
    P found = P::None;
    for (const QSslError& error : errors) {
        P problem = P::None;
        switch (error.error()) {
            case QSslError::SelfSignedCertificate:
            case QSslError::SelfSignedCertificateInChain:
                problem = P::SelfSigned;
                break;
            case QSslError::UnableToGetLocalIssuerCertificate:
            case QSslError::UnableToGetIssuerCertificate:
            case QSslError::UnableToVerifyFirstCertificate:
                problem = P::UnknownIssuer;
                break;
            case QSslError::HostNameMismatch:
                problem = P::WrongHost;
                break;
            case QSslError::CertificateExpired:
                problem = P::Expired;
                break;
            case QSslError::CertificateNotYetValid:
                problem = P::NotYetValid;
                break;
            case QSslError::NoError:
            case QSslError::UnspecifiedError:
                break;
            default:
                problem = P::Untrusted;
                break;
        }
        if (problem != P::None && (found == P::None || problem < found)) {
            found = problem;
        }
    }
    return found;
}

QString testCaFile() {
    static const QString file = qEnvironmentVariable("ORVANE_TEST_CA_FILE");
    return file;
}

QSslConfiguration tlsConfiguration() {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    if (!testCaFile().isEmpty()) {
        static const QList<QSslCertificate> authorities =
            QSslCertificate::fromPath(testCaFile(), QSsl::Pem);
        // Replacing the list also stops Qt from loading the system's on demand.
        config.setCaCertificates(authorities);
    }
    return config;
}

}  // namespace orvane
