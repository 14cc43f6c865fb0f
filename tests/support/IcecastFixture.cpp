// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/IcecastFixture.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>
#include <QUrl>

#include "support/LoopbackHttp.h"

namespace orvane::test {

namespace {

constexpr int kStartMs = 5000;
constexpr int kMountReadyMs = 8000;
constexpr int kTermGraceMs = 3000;
constexpr int kStartAttempts = 3;
constexpr const char* kAdminUser = "admin";  // as in icecast.xml.in
// Icecast refuses to keep running as root and switches to this account instead.
constexpr const char* kServiceUser = "icecast2";
constexpr const char* kServiceGroup = "icecast";
constexpr const char* kIcecastShare = "/usr/share/icecast2";
// A live 128 kbit/s MP3 tone. Without target=bitrate lamemp3enc ignores the bitrate.
constexpr const char* kEncoder =
    "-q audiotestsrc is-live=true volume=0.2 ! audioconvert ! "
    "lamemp3enc target=bitrate bitrate=128 cbr=true";

// The same tone as Ogg Vorbis: a station that changes its format.
constexpr const char* kOggEncoder =
    "-q audiotestsrc is-live=true volume=0.2 ! audioconvert ! vorbisenc ! oggmux";

QByteArray randomPassword() {
    return QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

// gst-launch-1.0 takes each element and property as an argument of its own.
QStringList words(const QString& text) {
    return text.split(u' ');
}

// How a child ended (or failed to start), and its last words.
QString describeExit(QProcess* proc) {
    if (!proc) {
        return QStringLiteral("gone");
    }
    const QString how =
        proc->state() != QProcess::NotRunning ? QStringLiteral("still running")
        : proc->error() != QProcess::UnknownError
            ? QStringLiteral("%1 (%2)").arg(proc->errorString()).arg(proc->exitCode())
            : QStringLiteral("exit code %1").arg(proc->exitCode());
    return how + u' ' + QString::fromLocal8Bit(proc->readAll());
}

std::unique_ptr<QProcess> makeProcess(
    QProcess::ProcessChannelMode mode = QProcess::MergedChannels) {
    auto proc = std::make_unique<QProcess>();
    proc->setProcessChannelMode(mode);
    // The children must not outlive a test binary that dies without running destructors (a
    // crash, a CTest timeout). Icecast drops this setting when it changes user, which is as good
    // as we can do for it without a wrapper process.
    proc->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    return proc;
}

void stopProcess(std::unique_ptr<QProcess>& proc, bool paused = false) {
    if (proc && proc->state() != QProcess::NotRunning) {
        // A stopped process queues SIGTERM until it runs again.
        if (paused) {
            ::kill(pid_t(proc->processId()), SIGCONT);
        }
        proc->terminate();
        if (!proc->waitForFinished(kTermGraceMs)) {
            proc->kill();
            proc->waitForFinished(kTermGraceMs);
        }
    }
    proc.reset();
}

// Text of the first <tag>...</tag> in xml.
QByteArray elementText(const QByteArray& xml, const QByteArray& tag) {
    const qsizetype at = xml.indexOf('<' + tag + '>');
    const qsizetype end = xml.indexOf("</" + tag + '>', at);
    const qsizetype begin = at + tag.size() + 2;
    return at < 0 || end < 0 ? QByteArray() : xml.mid(begin, end - begin);
}

}  // namespace

IcecastFixture::IcecastFixture()
    : m_sourcePassword(randomPassword()), m_adminPassword(randomPassword()) {}

IcecastFixture::~IcecastFixture() {
    // Encoders first, so none of them writes into a pipe that is already closed.
    for (auto& proc : m_extraProcesses) {
        stopProcess(proc);
    }
    stopProcess(m_source);
    stopProcess(m_server, m_serverPaused);
}

bool IcecastFixture::waitUntil(const std::function<bool()>& cond, int timeoutMs, int stepMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!cond()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QTest::qWait(stepMs);
    }
    return true;
}

QString IcecastFixture::urlFor(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

QString IcecastFixture::webroot() const {
    return m_dir.filePath(QStringLiteral("web"));
}

bool IcecastFixture::retrying(const std::function<bool()>& once,
                              const std::function<bool()>& startAgain) {
    // Icecast and its source have (rarely) been seen to die right after they started, with no
    // word of why; a second start has always worked. A failure that a new start cannot cure
    // (a server that runs but never answers) ends it at once.
    for (int attempt = 1;; ++attempt) {
        if (once()) {
            return true;
        }
        if (attempt == kStartAttempts || !startAgain()) {
            return false;
        }
        qWarning("IcecastFixture: %s; starting again", qPrintable(m_error));
    }
}

bool IcecastFixture::start() {
    // A brand-new server has vanished right after its first answer, before the source logged
    // in; and a port picked a moment ago can be taken before Icecast binds it: start over on a
    // fresh port then.
    return retrying([this] { return startServer() && startSource(); },
                    [this] {
                        if (serverRunning()) {
                            return false;
                        }
                        killSource();
                        stopServer();
                        m_port = 0;
                        return true;
                    });
}

bool IcecastFixture::writeConfig() {
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    const QString logDir = m_dir.filePath(QStringLiteral("log"));
    QDir().mkpath(logDir);
    QDir().mkpath(webroot());
    // Icecast serves its status pages (status-json.xsl ...) from the webroot, so link them in
    // next to whatever files the tests drop there.
    const QDir share(QLatin1String(kIcecastShare) + QStringLiteral("/web"));
    for (const QString& name : share.entryList(QDir::Files)) {
        QFile::link(share.filePath(name), webroot() + u'/' + name);
    }

    QString security = QStringLiteral("<chroot>0</chroot>");
    if (::geteuid() == 0) {
        const passwd* pw = ::getpwnam(kServiceUser);
        const group* gr = ::getgrnam(kServiceGroup);
        // After the switch the server must still reach its files and write its logs.
        if (!pw || !gr || ::chmod(QFile::encodeName(m_dir.path()), 0755) != 0 ||
            ::chmod(QFile::encodeName(webroot()), 0755) != 0 ||
            ::chown(QFile::encodeName(logDir), pw->pw_uid, gr->gr_gid) != 0) {
            m_error = QStringLiteral("running as root, but cannot hand the files to %1:%2")
                          .arg(QLatin1String(kServiceUser), QLatin1String(kServiceGroup));
            return false;
        }
        security += QStringLiteral("<changeowner><user>%1</user><group>%2</group></changeowner>")
                        .arg(QLatin1String(kServiceUser), QLatin1String(kServiceGroup));
    }

    // The same template as the shell side (icecast.sh) fills in.
    QFile templ(QStringLiteral(ORVANE_ICECAST_TEMPLATE));
    if (!templ.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("cannot read %1").arg(templ.fileName());
        return false;
    }
    const QString xml =
        QString::fromUtf8(templ.readAll())
            .replace(QLatin1String("@PORT@"), QString::number(m_port))
            .replace(QLatin1String("@SOURCE_PASSWORD@"), QString::fromLatin1(m_sourcePassword))
            .replace(QLatin1String("@ADMIN_PASSWORD@"), QString::fromLatin1(m_adminPassword))
            .replace(QLatin1String("@LOGDIR@"), logDir)
            .replace(QLatin1String("@WEBROOT@"), webroot())
            .replace(QLatin1String("@SECURITY@"), security);
    QFile file(m_dir.filePath(QStringLiteral("icecast.xml")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(xml.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write icecast.xml");
        return false;
    }
    return true;
}

QString IcecastFixture::serverLogTail() const {
    QFile log(m_dir.filePath(QStringLiteral("log/error.log")));
    return log.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(log.readAll().right(1500))
                                         : QString();
}

bool IcecastFixture::startServer() {
    if (serverRunning()) {
        return true;
    }
    // A restart keeps the port the listeners know.
    if (m_port == 0 && (m_port = pickFreePort()) == 0) {
        m_error = QStringLiteral("no free port");
        return false;
    }
    if (!writeConfig()) {
        return false;
    }
    // Also on the port its listeners know, when a test restarts it.
    bool died = false;
    return retrying(
        [this, &died] {
            m_server = makeProcess();
            m_server->start(QStringLiteral("icecast2"),
                            {QStringLiteral("-c"), m_dir.filePath(QStringLiteral("icecast.xml"))});
            m_server->waitForStarted(kStartMs);
            m_serverPaused = false;
            const bool up = waitUntil(
                                [this] {
                                    return !serverRunning() ||
                                           httpGet(m_port, "/status-json.xsl", 500).status == 200;
                                },
                                kStartMs, 10) &&
                            serverRunning();
            if (!up) {
                m_error = QStringLiteral("icecast2 does not answer on port %1 (%2) %3")
                              .arg(QString::number(m_port), describeExit(m_server.get()),
                                   serverLogTail());
                died = !serverRunning();
                stopServer();
            }
            return up;
        },
        [&died] { return died; });
}

void IcecastFixture::stopServer() {
    stopProcess(m_server, m_serverPaused);
    m_serverPaused = false;
}

bool IcecastFixture::serverRunning() const {
    return m_server && m_server->state() == QProcess::Running;
}

void IcecastFixture::pauseServer() {
    if (serverRunning() && ::kill(pid_t(m_server->processId()), SIGSTOP) == 0) {
        m_serverPaused = true;
    }
}

void IcecastFixture::resumeServer() {
    if (m_serverPaused && serverRunning()) {
        ::kill(pid_t(m_server->processId()), SIGCONT);
    }
    m_serverPaused = false;
}

bool IcecastFixture::waitMountReady(const QString& mount,
                                    const std::function<bool()>& sourceAlive) {
    // Icecast lists the mount as soon as the source logs in, but answers listeners with 404
    // until the first data has arrived, so ask the way a player does. The probe listener is
    // gone again by the time the next chunk of audio is written to it.
    const bool up = waitUntil(
        [&] {
            return !sourceAlive() || !serverRunning() ||
                   httpGet(m_port, mount.toUtf8(), 500, {}, true).status == 200;
        },
        kMountReadyMs, 50);
    return up && sourceAlive() && serverRunning();
}

bool IcecastFixture::startSource(Codec codec) {
    if (!serverRunning()) {
        m_error = QStringLiteral("the server is not running");
        return false;
    }
    killSource();
    // gst-launch escapes each argument on its own, so values with spaces need no shell quoting;
    // taginject's list still needs its own quotes around each string.
    const QString encoder =
        codec == Codec::Mp3 ? QLatin1String(kEncoder) : QLatin1String(kOggEncoder);
    const QStringList args =
        words(encoder)
        << QStringLiteral("!") << QStringLiteral("taginject")
        << QStringLiteral(R"(tags="title=\"Song One\",artist=\"Artist\"")")
        << words(QStringLiteral("! shout2send ip=127.0.0.1 port=%1 password=%2 mount=%3")
                     .arg(QString::number(m_port), QString::fromLatin1(m_sourcePassword), mount()))
        << QStringLiteral("streamname=") + QLatin1String(kStationName);
    const bool live = retrying(
        [this, &args] {
            m_source = makeProcess();
            m_source->start(QStringLiteral("gst-launch-1.0"), args);
            m_source->waitForStarted(kStartMs);
            if (waitMountReady(mount(), [this] { return sourceRunning(); })) {
                return true;
            }
            m_error = QStringLiteral("the source never went live (source: %1; server: %2) %3")
                          .arg(describeExit(m_source.get()), describeExit(m_server.get()),
                               serverLogTail());
            return false;
        },
        // One that runs but never goes live is not helped by another.
        [this] { return !sourceRunning() && serverRunning(); });
    if (!live) {
        return false;
    }
    // shout2send announces its tags as "artist - title".
    m_title = QLatin1String(kFirstTitle);
    return true;
}

bool IcecastFixture::startUntitledSource(const QString& mount, const QString& stationName) {
    // shout2send always sends a title (at worst "Unknown - Unknown"), so this station is fed
    // the plain way: raw MP3 on a pipe into an HTTP PUT. Icecast cannot read a chunked body,
    // so curl must send the stream unframed until the connection closes.
    auto encoder = makeProcess(QProcess::SeparateChannels);
    auto uploader = makeProcess();
    encoder->setStandardOutputProcess(uploader.get());
    uploader->start(QStringLiteral("curl"),
                    words(QStringLiteral("-s -T - -u source:%1 -H Transfer-Encoding: -H Expect:")
                              .arg(QString::fromLatin1(m_sourcePassword)))
                        << QStringLiteral("-H") << QStringLiteral("Content-Type: audio/mpeg")
                        << QStringLiteral("-H") << QStringLiteral("ice-name: ") + stationName
                        << urlFor(mount));
    encoder->start(QStringLiteral("gst-launch-1.0"),
                   words(QLatin1String(kEncoder) + QStringLiteral(" ! fdsink fd=1")));
    uploader->waitForStarted(kStartMs);
    encoder->waitForStarted(kStartMs);
    QProcess* up = uploader.get();
    QProcess* enc = encoder.get();
    m_extraProcesses.push_back(std::move(encoder));
    m_extraProcesses.push_back(std::move(uploader));
    if (!waitMountReady(mount, [up, enc] {
            return up->state() == QProcess::Running && enc->state() == QProcess::Running;
        })) {
        m_error = QStringLiteral("the untitled source never went live (curl: %1; encoder: %2) %3")
                      .arg(describeExit(up), describeExit(enc), serverLogTail());
        return false;
    }
    return true;
}

void IcecastFixture::killSource() {
    stopProcess(m_source);
}

bool IcecastFixture::sourceRunning() const {
    return m_source && m_source->state() == QProcess::Running;
}

QByteArray IcecastFixture::adminGet(const QByteArray& pathAndQuery) const {
    if (!serverRunning() || m_serverPaused) {
        return {};
    }
    const HttpReply r =
        httpGet(m_port, pathAndQuery, 2000, QByteArray(kAdminUser) + ':' + m_adminPassword);
    return r.status == 200 ? r.body : QByteArray();
}

bool IcecastFixture::mountLive() const {
    return adminGet("/admin/listmounts").contains("mount=\"" + mount().toUtf8() + '"');
}

bool IcecastFixture::setTitle(const QString& title) {
    const QByteArray body = adminGet("/admin/metadata?mount=" + QUrl::toPercentEncoding(mount()) +
                                     "&mode=updinfo&song=" + QUrl::toPercentEncoding(title));
    if (!body.contains("<return>1</return>")) {
        return false;
    }
    m_title = title;
    return true;
}

QList<IcecastFixture::Listener> IcecastFixture::listenerList() const {
    const QByteArray xml = adminGet("/admin/listclients?mount=" + QUrl::toPercentEncoding(mount()));
    QList<Listener> result;
    for (qsizetype at = xml.indexOf("<listener>"); at >= 0;
         at = xml.indexOf("<listener>", at + 1)) {
        const QByteArray one = xml.mid(at, xml.indexOf("</listener>", at) - at);
        result.append({elementText(one, "ID").toLongLong(),
                       QString::fromUtf8(elementText(one, "UserAgent"))});
    }
    return result;
}

int IcecastFixture::listenerConnections() const {
    bool ok = false;
    const int n = elementText(adminGet("/admin/stats"), "listener_connections").toInt(&ok);
    return ok ? n : -1;
}

QString IcecastFixture::writeToneFile(const QString& fileName, int seconds) {
    const QString path = webroot() + u'/' + fileName;
    // 44100 Hz in 1024-sample buffers: close enough to the asked length.
    QProcess enc;
    enc.start(QStringLiteral("gst-launch-1.0"),
              words(QStringLiteral("-q audiotestsrc num-buffers=%1 samplesperbuffer=1024 ! "
                                   "audioconvert ! lamemp3enc ! filesink")
                        .arg(seconds * 44100 / 1024))
                  << QStringLiteral("location=") + path);
    if (!enc.waitForFinished(20000) || enc.exitCode() != 0) {
        return {};  // ~QProcess kills a process that hangs
    }
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ReadOther);
    return urlFor(u'/' + fileName);
}

}  // namespace orvane::test
