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
    const QString key = path("server.key");
    const QString csr = path("server.csr");
    // A request for the host, signed by the authority; name and alternative name agree.
    const auto sign = [&](const char* out, const QString& host, const QString& altName) {
        return openssl({"req", "-new", "-key", key, "-subj", "/CN=" + host, "-addext",
                        "subjectAltName=" + altName, "-out", csr}) &&
               openssl({"x509", "-req", "-in", csr, "-CA", caFile(), "-CAkey", path("ca.key"),
                        "-CAcreateserial", "-copy_extensions", "copyall", "-days", "2", "-out",
                        path(out)});
    };
    return openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", path("ca.key"), "-out", caFile(), "-days", "2", "-subj",
                    "/CN=Orvane Test CA"}) &&
           openssl({"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", key}) &&
           sign("trusted.pem", "127.0.0.1", "IP:127.0.0.1") &&
           sign("wrong.pem", "elsewhere.invalid", "DNS:elsewhere.invalid") &&
           openssl({"req", "-x509", "-key", key, "-out", path("self.pem"), "-days", "2", "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
}

QString TestCertificates::certFile(Server server) const {
    static const char* const names[] = {"trusted.pem", "self.pem", "wrong.pem"};
    return path(names[int(server)]);
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
