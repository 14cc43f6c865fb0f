// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/LoopbackHttp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArrayList>
#include <QDeadlineTimer>
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
    const QDeadlineTimer deadline(timeoutMs);
    Socket sock;
    // A blocking socket whose connect() and send() give up after timeoutMs (a connect to a
    // closed loopback port fails at once; the request fits the empty send buffer). Reading
    // waits for the overall deadline instead.
    const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const sockaddr_in addr = loopback(port);
    const QByteArray request =
        "GET " + pathAndQuery + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: orvane-test\r\n" +
        (basicAuth.isEmpty() ? QByteArray()
                             : "Authorization: Basic " + basicAuth.toBase64() + "\r\n") +
        "\r\n";
    if (sock.fd < 0 || ::setsockopt(sock.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0 ||
        ::connect(sock.fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::send(sock.fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) !=
            request.size()) {
        return {};
    }

    // Until the server closes, or the header block is complete and so is the body it announces.
    QByteArray raw;
    qsizetype headerEnd = -1;
    qint64 contentLength = -1;
    while (headerEnd < 0 ||
           (!headersOnly && (contentLength < 0 || raw.size() - headerEnd - 4 < contentLength))) {
        pollfd p{sock.fd, POLLIN, 0};
        int ready;
        while ((ready = ::poll(&p, 1, int(deadline.remainingTime()))) < 0 && errno == EINTR) {
        }
        char buf[16384];
        const ssize_t n = ready > 0 ? ::recv(sock.fd, buf, sizeof buf, 0) : 0;
        if (n <= 0) {
            break;
        }
        raw.append(buf, n);
        if (headerEnd < 0 && (headerEnd = raw.indexOf("\r\n\r\n")) >= 0) {
            bool ok = false;
            const qint64 len =
                HttpReply{0, raw.left(headerEnd), {}}.header("content-length").toLongLong(&ok);
            contentLength = ok ? len : -1;
        }
    }

    HttpReply reply;
    const qsizetype lineEnd = raw.indexOf("\r\n");
    if (lineEnd < 0 || !raw.startsWith("HTTP/")) {
        return reply;
    }
    reply.status = raw.left(lineEnd).split(' ').value(1).toInt();
    if (headerEnd < 0) {
        headerEnd = raw.size();
    }
    reply.headers = raw.mid(lineEnd + 2, headerEnd - lineEnd - 2);
    reply.body = raw.mid(headerEnd + 4);
    return reply;
}

quint16 pickFreePort() {
    Socket sock;
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (sock.fd < 0 || ::bind(sock.fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
        ::getsockname(sock.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

}  // namespace orvane::test
