#include "LoopbackHttp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArrayList>
#include <QDeadlineTimer>
#include <algorithm>
#include <cerrno>

namespace orvane::test {

namespace {

struct Socket {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ~Socket() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

sockaddr_in loopback(quint16 port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// Waits for `events` on fd until the deadline; false on timeout or error.
bool waitFor(int fd, short events, const QDeadlineTimer& deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int left = int(deadline.remainingTime());
        if (left <= 0) {
            return false;
        }
        const int r = ::poll(&p, 1, left);
        if (r > 0) {
            return true;
        }
        if (r == 0 || errno != EINTR) {
            return false;
        }
    }
}

}  // namespace

QByteArray HttpReply::header(const QByteArray& name) const {
    const QByteArray wanted = name.toLower() + ':';
    for (const QByteArray& line : headers.split('\n')) {
        if (line.toLower().startsWith(wanted)) {
            return line.mid(wanted.size()).trimmed();
        }
    }
    return {};
}

HttpReply httpGet(quint16 port, const QByteArray& pathAndQuery, int timeoutMs,
                  const QByteArray& basicAuth, bool headersOnly) {
    HttpReply reply;
    const QDeadlineTimer deadline(timeoutMs);
    Socket sock;
    if (sock.fd < 0) {
        return reply;
    }
    ::fcntl(sock.fd, F_SETFL, ::fcntl(sock.fd, F_GETFL) | O_NONBLOCK);
    const sockaddr_in addr = loopback(port);
    if (::connect(sock.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS || !waitFor(sock.fd, POLLOUT, deadline)) {
            return reply;
        }
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(sock.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            return reply;
        }
    }

    const QByteArray request =
        "GET " + pathAndQuery + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: orvane-test\r\n" +
        (basicAuth.isEmpty() ? QByteArray()
                             : "Authorization: Basic " + basicAuth.toBase64() + "\r\n") +
        "\r\n";
    qsizetype sent = 0;
    while (sent < request.size()) {
        if (!waitFor(sock.fd, POLLOUT, deadline)) {
            return reply;
        }
        const ssize_t n = ::send(sock.fd, request.constData() + sent, size_t(request.size() - sent),
                                 MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return reply;
        }
        sent += n > 0 ? n : 0;
    }

    // Until the server closes, or the header block is complete and so is the body it announces.
    QByteArray raw;
    qsizetype headerEnd = -1;
    qint64 contentLength = -1;
    char buf[16384];
    for (;;) {
        const bool complete =
            headerEnd >= 0 &&
            (headersOnly || (contentLength >= 0 && raw.size() - headerEnd - 4 >= contentLength));
        if (complete || !waitFor(sock.fd, POLLIN, deadline)) {
            break;
        }
        const ssize_t n = ::recv(sock.fd, buf, sizeof buf, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            break;
        }
        raw.append(buf, std::max<ssize_t>(n, 0));
        if (headerEnd < 0 && (headerEnd = raw.indexOf("\r\n\r\n")) >= 0) {
            bool ok = false;
            const qint64 len =
                HttpReply{0, raw.left(headerEnd), {}}.header("content-length").toLongLong(&ok);
            contentLength = ok ? len : -1;
        }
    }

    const qsizetype lineEnd = raw.indexOf("\r\n");
    if (lineEnd < 0 || !raw.startsWith("HTTP/")) {
        return reply;
    }
    const QList<QByteArray> statusLine = raw.left(lineEnd).split(' ');
    reply.status = statusLine.size() > 1 ? statusLine[1].toInt() : 0;
    if (headerEnd >= 0) {
        reply.headers = raw.mid(lineEnd + 2, headerEnd - lineEnd - 2);
        reply.body = raw.mid(headerEnd + 4);
    } else {
        reply.headers = raw.mid(lineEnd + 2);
    }
    return reply;
}

quint16 pickFreePort() {
    Socket sock;
    sockaddr_in addr = loopback(0);
    if (sock.fd < 0 ||
        ::bind(sock.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        return 0;
    }
    socklen_t len = sizeof addr;
    if (::getsockname(sock.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

}  // namespace orvane::test
