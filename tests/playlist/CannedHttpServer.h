#pragma once

#include <QHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

namespace orvane::test {

// What the server answers for one path. Every member has a default, so that a test can name
// just the ones it needs: {.status = 302, .location = "/x"}.
struct CannedResponse {
    QByteArray contentType{};  // no Content-Type header when empty
    QByteArray body{};
    int status = 200;
    QByteArray location{};   // a redirect's target
    bool sendLength = true;  // without Content-Length, the body ends when the connection does
    int delayMs = 0;         // before the status line
    bool silent = false;     // read the request, then never answer
    bool endless = false;    // repeat the body until the client goes away, like a live stream
};

// HTTP on 127.0.0.1 with a canned response per path (unknown paths: 404), in the test's own
// event loop. Every connection closes after its answer.
class CannedHttpServer : public QObject {
  public:
    CannedHttpServer() {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                ++m_open;
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    --m_open;
                    socket->deleteLater();
                });
            }
        });
    }

    bool isListening() const { return m_server.isListening(); }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }
    void set(const QString& path, const CannedResponse& response) { m_canned[path] = response; }
    int requests(const QString& path) const { return m_requests.value(path); }
    int openConnections() const { return m_open; }

  private:
    void read(QTcpSocket* socket) {
        // The request waits in the socket's buffer until its header block is complete.
        if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n")) {
            return;
        }
        const QByteArray request = socket->readAll();
        const QString path = QString::fromLatin1(request.split(' ').value(1)).section('?', 0, 0);
        ++m_requests[path];
        const CannedResponse r = m_canned.value(path, {.status = 404});
        if (!r.silent) {
            QTimer::singleShot(r.delayMs, socket, [socket, r] { answer(socket, r); });
        }
    }

    static void answer(QTcpSocket* socket, const CannedResponse& r) {
        const auto header = [](const char* name, const QByteArray& value) {
            return value.isEmpty() ? QByteArray() : name + (": " + value + "\r\n");
        };
        socket->write("HTTP/1.1 " + QByteArray::number(r.status) +
                      (r.status == 404 ? " Not Found" : " Whatever") + "\r\nConnection: close\r\n" +
                      header("Content-Type", r.contentType) + header("Location", r.location) +
                      header("Content-Length", r.sendLength && !r.endless
                                                   ? QByteArray::number(r.body.size())
                                                   : QByteArray()) +
                      "\r\n");
        if (!r.endless) {
            socket->write(r.body);
            socket->disconnectFromHost();
            return;
        }
        auto* timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, chunk = r.body] {
            if (socket->bytesToWrite() < 64 * 1024) {
                socket->write(chunk);
            }
        });
        timer->start(5);
    }

    QTcpServer m_server;
    QHash<QString, CannedResponse> m_canned;
    QHash<QString, int> m_requests;
    int m_open = 0;
};

}  // namespace orvane::test
