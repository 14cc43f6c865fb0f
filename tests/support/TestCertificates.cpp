// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/TestCertificates.h"

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>

namespace orvane::test {

namespace {

constexpr int kOpensslMs = 20000;

}  // namespace

bool TestCertificates::openssl(const QStringList& args) {
    QProcess proc;
    proc.setProcessChannelMode(QProcess::MergedChannels);
    proc.start(QStringLiteral("openssl"), args);
    if (proc.waitForFinished(kOpensslMs) && proc.exitStatus() == QProcess::NormalExit &&
        proc.exitCode() == 0) {
        return true;
    }
    m_error = QStringLiteral("openssl %1: %2 %3")
                  .arg(args.join(u' '), proc.errorString(), QString::fromLocal8Bit(proc.readAll()));
    return false;
}

bool TestCertificates::make() {
    const QString days = QStringLiteral("2");
    const QString key = path("server.key");
    const auto ext = [this](const char* name, const QByteArray& text) {
        QFile file(path(name));
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    // A request for the host's name, signed by the authority: name and alternative name agree.
    const auto sign = [&](const char* out, const QString& host, const char* extFile) {
        return openssl({"req", "-new", "-key", key, "-subj", "/CN=" + host, "-out",
                        path("server.csr")}) &&
               openssl({"x509", "-req", "-in", path("server.csr"), "-CA", caFile(), "-CAkey",
                        path("ca.key"), "-CAcreateserial", "-days", days, "-out", path(out),
                        "-extfile", path(extFile)});
    };
    if (!m_dir.isValid() || !ext("trusted.ext", "subjectAltName=IP:127.0.0.1\n") ||
        !ext("wrong.ext", "subjectAltName=DNS:elsewhere.invalid\n")) {
        m_error = QStringLiteral("cannot write into %1").arg(m_dir.path());
        return false;
    }
    return openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", path("ca.key"), "-out", caFile(), "-days", days, "-subj",
                    "/CN=Orvane Test CA"}) &&
           openssl({"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key}) &&
           sign("trusted.pem", "127.0.0.1", "trusted.ext") &&
           sign("wrong.pem", "elsewhere.invalid", "wrong.ext") &&
           openssl({"req", "-x509", "-key", key, "-out", path("self.pem"), "-days", days, "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
}

QString TestCertificates::certFile(Server server) const {
    switch (server) {
        case Server::Trusted:
            return path("trusted.pem");
        case Server::SelfSigned:
            return path("self.pem");
        case Server::WrongHost:
            break;
    }
    return path("wrong.pem");
}

QString TestCertificates::bundleFile(Server server) const {
    const QString bundle = certFile(server) + QStringLiteral(".bundle");
    QFile cert(certFile(server));
    QFile key(path("server.key"));
    QFile out(bundle);
    const bool ok = cert.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly) &&
                    out.open(QIODevice::WriteOnly) && out.write(cert.readAll() + key.readAll()) > 0;
    return ok ? bundle : QString();
}

QSslConfiguration TestCertificates::serverConfiguration(Server server) const {
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(QSslCertificate::fromPath(certFile(server)));
    QFile key(path("server.key"));
    key.open(QIODevice::ReadOnly);
    config.setPrivateKey(QSslKey(&key, QSsl::Ec));
    // A server that asks nothing of its clients needs no authorities; this also keeps Qt from
    // loading the system's on the test's thread, where the engine's stall monitor watches.
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    config.setCaCertificates({});
    return config;
}

}  // namespace orvane::test
