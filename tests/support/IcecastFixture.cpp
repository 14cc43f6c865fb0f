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
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUrl>

namespace orvane::test {

namespace {

constexpr int kStartMs = 5000;
constexpr int kListenableMs = 8000;
constexpr int kProbeMs = 500;
constexpr int kAdminMs = 2000;
constexpr int kTermGraceMs = 3000;
constexpr int kEncodeMs = 20000;
constexpr int kStartAttempts = 3;
// Icecast refuses to run as root and switches to this account instead.
constexpr const char* kServiceUser = "icecast2";
constexpr const char* kServiceGroup = "icecast";
// A live 128 kbit/s MP3 tone (without target=bitrate lamemp3enc ignores the bitrate), and the
// same tone as Ogg Vorbis for a station that changes its format.
constexpr const char* kMp3Encoder =
    "-q audiotestsrc is-live=true volume=0.2 ! audioconvert ! "
    "lamemp3enc target=bitrate bitrate=128 cbr=true";
constexpr const char* kOggEncoder =
    "-q audiotestsrc is-live=true volume=0.2 ! audioconvert ! vorbisenc ! oggmux";

// A blocking HTTP/1.0 GET on loopback: the status (0 when refused, timed out or not HTTP) and
// the body. Icecast closes the connection after an answer; for an endless audio stream,
// headersOnly returns as soon as the header block is in.
std::pair<int, QByteArray> httpGet(quint16 port, const QByteArray& path, int timeoutMs,
                                   const QByteArray& auth = {}, bool headersOnly = false) {
    const QDeadlineTimer deadline(timeoutMs);
    QTcpSocket sock;
    sock.connectToHost(QHostAddress::LocalHost, port);
    sock.write(
        "GET " + path + " HTTP/1.0\r\n" +
        (auth.isEmpty() ? QByteArray() : "Authorization: Basic " + auth.toBase64() + "\r\n") +
        "\r\n");
    QByteArray raw;
    while (!(headersOnly && raw.contains("\r\n\r\n")) &&
           sock.waitForReadyRead(int(deadline.remainingTime()))) {
        raw += sock.readAll();
    }
    raw += sock.readAll();
    const qsizetype end = raw.indexOf("\r\n\r\n");
    if (!raw.startsWith("HTTP/") || end < 0) {
        return {0, {}};
    }
    return {raw.left(raw.indexOf("\r\n")).split(' ').value(1).toInt(), raw.mid(end + 4)};
}

std::unique_ptr<QProcess> launch(const QString& program, const QStringList& args) {
    auto proc = std::make_unique<QProcess>();
    proc->setProcessChannelMode(QProcess::MergedChannels);
    // Children must not outlive a test binary that dies without running destructors (a crash, a
    // CTest timeout); Icecast drops this when it changes user. Files they write stay readable for
    // a server that runs as another user.
    proc->setChildProcessModifier([] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::umask(022);
    });
    proc->start(program, args);
    proc->waitForStarted(kStartMs);
    return proc;
}

QByteArray elementText(const QByteArray& xml, const QByteArray& tag) {
    const qsizetype at = xml.indexOf('<' + tag + '>');
    const qsizetype end = xml.indexOf("</" + tag + '>', at);
    return at < 0 || end < 0 ? QByteArray()
                             : xml.mid(at + tag.size() + 2, end - at - tag.size() - 2);
}

}  // namespace

void IcecastFixture::stop(std::unique_ptr<QProcess>& proc) {
    if (proc && proc->state() == QProcess::Running) {
        ::kill(pid_t(proc->processId()), SIGCONT);  // a stopped process holds SIGTERM back
        proc->terminate();
        if (!proc->waitForFinished(kTermGraceMs)) {
            proc->kill();
            proc->waitForFinished(kTermGraceMs);
        }
    }
    proc.reset();
}

IcecastFixture::~IcecastFixture() {
    // Encoders first, so that none writes into a pipe that is already closed.
    for (auto& proc : m_children) {
        stop(proc);
    }
    stop(m_source);
    stop(m_server);
}

quint16 IcecastFixture::pickFreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

bool IcecastFixture::fail(const QString& what) {
    QFile log(m_dir.filePath(QStringLiteral("log/error.log")));
    log.open(QIODevice::ReadOnly);
    m_error = what + u' ';
    for (const auto* proc : {&m_server, &m_source}) {
        m_error += *proc ? QString::fromLocal8Bit((*proc)->readAll()) + u' ' : QString();
    }
    m_error += QString::fromLocal8Bit(log.readAll().right(1500));
    return false;
}

bool IcecastFixture::retrying(const std::function<bool()>& once,
                              const std::function<bool()>& startAgain) {
    // Icecast and its source have (rarely) died right after they started, with no word of why; a
    // second start has always worked. What a new start cannot cure ends it at once.
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
    // A new server has vanished after its first answer, and a port picked a moment ago can be
    // taken before Icecast binds it: then start over on a fresh port.
    return retrying([this] { return startServer() && startSource(); },
                    [this] {
                        killSource();
                        m_port = 0;
                        m_tlsPort = m_tlsPort ? pickFreePort() : 0;
                        return !serverRunning();
                    });
}

bool IcecastFixture::setTlsCertificate(const QString& pemFile) {
    // A copy in the fixture's folder, which a server running as another user can read.
    const QString copy = m_dir.filePath(QStringLiteral("tls.pem"));
    m_tlsPort = pickFreePort();
    return m_tlsPort != 0 && QFile::copy(pemFile, copy) &&
           QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
}

bool IcecastFixture::writeConfig() {
    const QString logDir = m_dir.filePath(QStringLiteral("log"));
    if (!m_dir.isValid() || !QDir().mkpath(logDir) || !QDir().mkpath(webroot())) {
        return fail(QStringLiteral("cannot create the server's folders"));
    }
    QString security = QStringLiteral("<chroot>0</chroot>");
    if (::geteuid() == 0) {
        // After the switch the server must still reach its files and write its logs.
        const passwd* pw = ::getpwnam(kServiceUser);
        const group* gr = ::getgrnam(kServiceGroup);
        if (!pw || !gr || ::chmod(QFile::encodeName(m_dir.path()), 0755) != 0 ||
            ::chmod(QFile::encodeName(webroot()), 0755) != 0 ||
            ::chown(QFile::encodeName(logDir), pw->pw_uid, gr->gr_gid) != 0) {
            return fail(QStringLiteral("running as root, but cannot hand the files to icecast2"));
        }
        security += QStringLiteral("<changeowner><user>%1</user><group>%2</group></changeowner>")
                        .arg(QLatin1String(kServiceUser), QLatin1String(kServiceGroup));
    }
    // A second listening socket for HTTPS. Icecast reads every <paths> block, so this one only
    // adds the certificate.
    const QString tls =
        m_tlsPort == 0 ? QString()
                       : QStringLiteral(
                             "<listen-socket><port>%1</port><bind-address>127.0.0.1</bind-address>"
                             "<ssl>1</ssl></listen-socket><paths><ssl-certificate>%2"
                             "</ssl-certificate></paths></icecast>")
                             .arg(m_tlsPort)
                             .arg(m_dir.filePath(QStringLiteral("tls.pem")));
    // The same template as icecast.sh fills in for the shell tests.
    QFile templ(QStringLiteral(ORVANE_ICECAST_TEMPLATE));
    QFile config(m_dir.filePath(QStringLiteral("icecast.xml")));
    if (!templ.open(QIODevice::ReadOnly) || !config.open(QIODevice::WriteOnly)) {
        return fail(QStringLiteral("cannot write icecast.xml"));
    }
    config.write(
        QString::fromUtf8(templ.readAll())
            .replace(QLatin1String("@PORT@"), QString::number(m_port))
            .replace(QLatin1String("@SOURCE_PASSWORD@"), QString::fromLatin1(m_sourcePassword))
            .replace(QLatin1String("@ADMIN_PASSWORD@"), QString::fromLatin1(m_adminPassword))
            .replace(QLatin1String("@LOGDIR@"), logDir)
            .replace(QLatin1String("@WEBROOT@"), webroot())
            .replace(QLatin1String("@SECURITY@"), security)
            .replace(QLatin1String("</icecast>"),
                     tls.isEmpty() ? QStringLiteral("</icecast>") : tls)
            .toUtf8());
    return true;
}

bool IcecastFixture::startServer() {
    if (serverRunning()) {
        return true;
    }
    if (m_port == 0 && (m_port = pickFreePort()) == 0) {
        return fail(QStringLiteral("no free port"));
    }
    if (!writeConfig()) {
        return false;
    }
    return retrying(
        [this] {
            m_server =
                launch(QStringLiteral("icecast2"),
                       {QStringLiteral("-c"), m_dir.filePath(QStringLiteral("icecast.xml"))});
            const auto up = [this] { return !serverRunning() || listenerConnections() >= 0; };
            return (QTest::qWaitFor(up, kStartMs) && serverRunning()) ||
                   fail(QStringLiteral("icecast2 does not answer on port %1").arg(m_port));
        },
        // One that runs but never answers is not helped by another.
        [this] {
            const bool died = !serverRunning();
            stopServer();
            return died;
        });
}

void IcecastFixture::pauseServer(bool pause) {
    if (serverRunning()) {
        ::kill(pid_t(m_server->processId()), pause ? SIGSTOP : SIGCONT);
    }
}

bool IcecastFixture::startSource(Codec codec) {
    killSource();
    // gst-launch takes each element and property as an argument of its own; taginject's list
    // still needs its own quotes.
    const QStringList args =
        QString::fromLatin1(codec == Codec::Mp3 ? kMp3Encoder : kOggEncoder).split(u' ')
        << QStringLiteral("!") << QStringLiteral("taginject")
        << QStringLiteral(R"(tags="title=\"Song One\",artist=\"Artist\"")")
        << QStringLiteral("! shout2send ip=127.0.0.1 port=%1 password=%2 mount=%3")
               .arg(QString::number(m_port), QString::fromLatin1(m_sourcePassword), mount())
               .split(u' ')
        << QStringLiteral("streamname=Test Radio");
    // Icecast lists a mount as soon as its source logs in, but answers listeners with 404 until
    // the first data is in, so ask the way a player does.
    const auto live = [this] {
        return !sourceRunning() || !serverRunning() ||
               httpGet(m_port, mount().toUtf8(), kProbeMs, {}, true).first == 200;
    };
    return retrying(
        [&] {
            m_source = launch(QStringLiteral("gst-launch-1.0"), args);
            return (QTest::qWaitFor(live, kListenableMs) && sourceRunning() && serverRunning()) ||
                   fail(QStringLiteral("the source never went live"));
        },
        [this] { return !sourceRunning() && serverRunning(); });
}

QProcess* IcecastFixture::spawn(const QString& program, const QStringList& args) {
    return m_children.emplace_back(launch(program, args)).get();
}

QString IcecastFixture::serve(const QString& name, const QByteArray& body) {
    QFile f(webroot() + u'/' + name);
    const bool ok =
        f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(body) == body.size();
    f.close();
    return ok && f.setPermissions(f.permissions() | QFile::ReadOther) ? urlFor(u'/' + name)
                                                                      : QString();
}

QString IcecastFixture::encode(const QString& name, const QString& encoder, int seconds) {
    // 44100 Hz in 1024-sample buffers: close enough to the asked length.
    auto gst = launch(QStringLiteral("gst-launch-1.0"),
                      QProcess::splitCommand(
                          QStringLiteral("-q audiotestsrc num-buffers=%1 volume=0.2 ! audioconvert "
                                         "! %2 ! filesink location=%3/%4")
                              .arg(seconds * 44100 / 1024)
                              .arg(encoder, webroot(), name)));
    const bool ok = gst->waitForFinished(kEncodeMs) && gst->exitCode() == 0;
    return ok ? urlFor(u'/' + name) : QString();  // ~QProcess kills one that hangs
}

QByteArray IcecastFixture::adminGet(const QByteArray& pathAndQuery) const {
    const auto [status, body] = httpGet(m_port, pathAndQuery, kAdminMs, "admin:" + m_adminPassword);
    return status == 200 ? body : QByteArray();
}

bool IcecastFixture::mountLive() const {
    return adminGet("/admin/listmounts").contains("mount=\"" + mount().toUtf8() + '"');
}

bool IcecastFixture::setTitle(const QString& title) {
    return adminGet("/admin/metadata?mount=" + QUrl::toPercentEncoding(mount()) +
                    "&mode=updinfo&song=" + QUrl::toPercentEncoding(title))
        .contains("<return>1</return>");
}

QStringList IcecastFixture::listeners() const {
    const QByteArray xml = adminGet("/admin/listclients?mount=" + QUrl::toPercentEncoding(mount()));
    QStringList result;
    for (qsizetype at = xml.indexOf("<listener>"); at >= 0;
         at = xml.indexOf("<listener>", at + 1)) {
        const QByteArray one = xml.mid(at, xml.indexOf("</listener>", at) - at);
        result.append(
            QString::fromUtf8(elementText(one, "ID") + ' ' + elementText(one, "UserAgent")));
    }
    return result;
}

int IcecastFixture::listenerConnections() const {
    bool ok = false;
    const int n = elementText(adminGet("/admin/stats"), "listener_connections").toInt(&ok);
    return ok ? n : -1;
}

}  // namespace orvane::test
