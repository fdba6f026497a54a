#pragma once

#include "devserver/httpmessage.h"
#include "platform/status.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>

#include <functional>

class QSslServer;

namespace voxendo::devserver {

// A small HTTPS/1.1 server: TLS through QSslServer, persistent connections, one request at a
// time per connection, answers that may come later (work done off the server thread). Bodies
// are bounded per request before they are read; a refused upload is drained, not buffered, so
// the client still receives the answer.
class HttpsServer : public QObject
{
    Q_OBJECT
public:
    // Delivers the answer to one request. Call it once, on the server's thread; calling it after
    // the client went away does nothing.
    using Respond = std::function<void(HttpResponse)>;
    using Handler = std::function<void(const HttpRequest &, Respond)>;
    // The answer to a request the server refused itself (bad framing, too large, bad headers).
    // `head` is null when not even the request line could be read.
    using ErrorResponder =
        std::function<HttpResponse(int status, const QByteArray &message, const HttpRequest *head)>;

    explicit HttpsServer(QObject *parent = nullptr);
    ~HttpsServer() override;

    void setTlsConfiguration(const QSslConfiguration &config);
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    void setBodyLimit(HttpRequestParser::BodyLimit limit) { m_bodyLimit = std::move(limit); }
    void setErrorResponder(ErrorResponder responder) { m_errorResponder = std::move(responder); }
    // A connection with no traffic for this long is closed (not while its request is handled).
    void setIdleTimeout(int ms) { m_idleTimeoutMs = ms; }

    platform::Status listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    bool isListening() const;
    void close();

Q_SIGNALS:
    // One per answered request, for the access log.
    void requestFinished(const QByteArray &method, const QByteArray &path, int status,
                         qint64 elapsedMs);
    // The same request's marks on CLOCK_MONOTONIC, in microseconds: its connection's TLS
    // handshake done, its first byte read, its last byte, and the answer handed to the socket;
    // `sequence` counts the requests on the connection from 1. Comparable with the marks of
    // other processes on this machine (latency benchmarks).
    void requestTimed(const QByteArray &method, const QByteArray &path, int status, int sequence,
                      qint64 connectedUs, qint64 firstByteUs, qint64 receivedUs, qint64 answeredUs);

private:
    friend class HttpConnection;
    void onPendingConnection();

    QSslServer *m_server;
    Handler m_handler;
    HttpRequestParser::BodyLimit m_bodyLimit;
    ErrorResponder m_errorResponder;
    int m_idleTimeoutMs = 60000;
};

} // namespace voxendo::devserver
