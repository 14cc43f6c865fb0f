// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <vector>

namespace orvane::test {

// A real Icecast server on 127.0.0.1 whose source sends a live 128 kbit/s MP3 tone to mount(),
// named "Test Radio" and titled kFirstTitle. Files in the webroot are served beside it, and so are
// Icecast's own <mount>.m3u / .xspf playlists. With a certificate it serves all of it over HTTPS
// too, on a second port. The destructor stops everything it started.
class IcecastFixture {
  public:
    static constexpr const char* kFirstTitle = "Artist - Song One";
    enum class Codec { Mp3, OggVorbis };

    ~IcecastFixture();

    // Serve over HTTPS as well, with this PEM file (certificate and key); before start().
    bool setTlsCertificate(const QString& pemFile);

    // Each start waits until what it started answers; on false, lastError() says why.
    bool start();        // server, then source
    bool startServer();  // on the port of the previous server, if there was one
    void stopServer() { stop(m_server); }
    // SIGSTOP / SIGCONT: a true stall, with the connections open and no data flowing.
    void pauseServer(bool pause = true);
    void resumeServer() { pauseServer(false); }
    bool startSource(Codec codec = Codec::Mp3);
    void killSource() { stop(m_source); }
    bool serverRunning() const { return m_server && m_server->state() == QProcess::Running; }
    bool sourceRunning() const { return m_source && m_source->state() == QProcess::Running; }
    bool mountLive() const;  // Icecast lists mount() (a source is connected)
    QString lastError() const { return m_error; }
    // Listeners see a new title with the next metadata block, a few seconds later.
    bool setTitle(const QString& title);
    // Listeners of mount() right now, one "<connection id> <user agent>" each.
    QStringList listeners() const;
    // Listener connections accepted since the server started, on any mount; -1 if unknown.
    int listenerConnections() const;

    // A file in the webroot, readable by a server that runs as another user: its URL ("" on
    // failure), from the given bytes or from `seconds` of tone through a gst-launch encoder chain.
    QString serve(const QString& name, const QByteArray& body);
    QString encode(const QString& name, const QString& encoder, int seconds);
    // A child process, started and waited for, that ends with the fixture.
    QProcess* spawn(const QString& program, const QStringList& args);

    QString mount() const { return QStringLiteral("/test.mp3"); }
    QString url() const { return urlFor(mount()); }
    QString missingUrl() const { return urlFor(QStringLiteral("/nothing-here.mp3")); }
    QString urlFor(const QString& path) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
    }
    QString httpsUrlFor(const QString& path) const {
        return QStringLiteral("https://127.0.0.1:%1%2").arg(m_tlsPort).arg(path);
    }
    QString webroot() const { return m_dir.filePath(QStringLiteral("web")); }

    static quint16 pickFreePort();  // nothing listens on it right now

  private:
    static void stop(std::unique_ptr<QProcess>& proc);
    static QByteArray randomPassword() {
        return QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    }
    bool retrying(const std::function<bool()>& once, const std::function<bool()>& startAgain);
    bool writeConfig();
    bool fail(const QString& what);
    QByteArray adminGet(const QByteArray& pathAndQuery) const;

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;  // 0: no HTTPS
    const QByteArray m_sourcePassword = randomPassword();
    const QByteArray m_adminPassword = randomPassword();
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_source;
    std::vector<std::unique_ptr<QProcess>> m_children;
    QString m_error;
};

}  // namespace orvane::test
