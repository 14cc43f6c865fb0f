// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QSslConfiguration>
#include <QString>
#include <QTemporaryDir>

namespace orvane::test {

// Certificates for HTTPS tests, made with openssl for one run, so that no private key lives in
// the repository: an authority of the test's own (caFile(), what ORVANE_TEST_CA_FILE names), and
// one key with three certificates for 127.0.0.1: signed by that authority, signed by itself, and
// signed by the authority for another host.
class TestCertificates {
  public:
    enum class Server { Trusted, SelfSigned, WrongHost };

    // False when openssl failed; error() says why.
    bool make();
    QString error() const { return m_error; }

    QString caFile() const { return path("ca.pem"); }
    // The certificate and its key in one PEM file, as Icecast takes them.
    QString bundleFile(Server server) const;
    // For a QSslServer that presents this certificate.
    QSslConfiguration serverConfiguration(Server server) const;

  private:
    QString path(const char* name) const { return m_dir.filePath(QString::fromLatin1(name)); }
    QString certFile(Server server) const;
    bool openssl(const QStringList& args);

    QTemporaryDir m_dir;
    QString m_error;
};

}  // namespace orvane::test
