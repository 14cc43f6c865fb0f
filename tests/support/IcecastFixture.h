// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <vector>

namespace orvane::test {

// A real Icecast server on 127.0.0.1, fed by a gst-launch-1.0 MP3 source, for tests that need a
// live internet-radio stream without the internet. Everything it starts is stopped by the
// destructor, also when a test fails half-way (a paused server is continued first so that it
// can die of SIGTERM).
//
// The source sends a 128 kbit/s MP3 sine tone to mount() with the station name "Test Radio" and
// the stream title "Artist - Song One". The server also serves plain files from webroot()
// (plus Icecast's own generated <mount>.m3u / .xspf playlists).
class IcecastFixture {
  public:
    static constexpr const char* kStationName = "Test Radio";
    static constexpr const char* kFirstTitle = "Artist - Song One";

    IcecastFixture();
    ~IcecastFixture();
    IcecastFixture(const IcecastFixture&) = delete;
    IcecastFixture& operator=(const IcecastFixture&) = delete;

    // Server, then source; waits until the mount is listenable. On false, lastError() says why.
    // Every start*() waits until what it started answers.
    bool start();
    QString lastError() const { return m_error; }

    // On the same port as before (a fresh port the first time).
    bool startServer();
    void stopServer();
    bool serverRunning() const;
    // SIGSTOP / SIGCONT: a true stall. Connections stay open, no data flows.
    void pauseServer();
    void resumeServer();

    enum class Codec { Mp3, OggVorbis };
    // A new source process for mount().
    bool startSource(Codec codec = Codec::Mp3);
    void killSource();
    bool sourceRunning() const;
    // A second kind of station: sends audio and a station name, but never a stream title.
    // Runs until the fixture ends.
    bool startUntitledSource(const QString& mount, const QString& stationName);
    // True when Icecast lists the mount as live (a source is connected and sending).
    bool mountLive() const;

    // Writes an untagged MP3 tone of the given length into webroot(); its URL, "" on failure.
    QString writeToneFile(const QString& fileName, int seconds);

    // Replaces the stream title through Icecast's admin interface. Listeners see it with the
    // next in-stream metadata block, a few seconds later.
    bool setTitle(const QString& title);
    struct Listener {
        qint64 id = 0;  // Icecast's connection id: a new connection gets a new one
        QString userAgent;
    };
    // Listeners connected to mount() right now, as Icecast sees them.
    QList<Listener> listenerList() const;
    // Listener connections the server has accepted since it started, on any mount.
    int listenerConnections() const;
    // The title a newly connected listener is told (after setTitle() or a source restart).
    QString currentTitle() const { return m_title; }

    QString mount() const { return QStringLiteral("/test.mp3"); }
    QString url() const { return urlFor(mount()); }
    QString urlFor(const QString& path) const;
    // A mount nobody feeds: the server answers 404.
    QString missingUrl() const { return urlFor(QStringLiteral("/nothing-here.mp3")); }
    // Static files dropped here are served at urlFor("/<name>").
    QString webroot() const;

    // Polls cond (processing events) until it is true or timeoutMs passes.
    static bool waitUntil(const std::function<bool()>& cond, int timeoutMs, int stepMs = 20);

  private:
    // once() until it works, at most three times, while startAgain() says another try may help.
    bool retrying(const std::function<bool()>& once, const std::function<bool()>& startAgain);
    bool writeConfig();
    bool waitMountReady(const QString& mount, const std::function<bool()>& sourceAlive);
    QByteArray adminGet(const QByteArray& pathAndQuery) const;
    QString serverLogTail() const;

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QByteArray m_sourcePassword;
    QByteArray m_adminPassword;
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_source;
    std::vector<std::unique_ptr<QProcess>> m_extraProcesses;
    QString m_title;
    bool m_serverPaused = false;
    QString m_error;
};

}  // namespace orvane::test
