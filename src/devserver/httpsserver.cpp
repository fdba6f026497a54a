#include "devserver/httpsserver.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>

#include <ctime>

namespace voxendo::devserver {

namespace {

// After refusing a request whose body is still arriving, keep reading (and dropping) until the
// client has been quiet this long, then close. Closing with unread bytes makes the kernel send
// a reset, and the client may lose the answer it has not read yet.
constexpr int kDrainQuietMs = 300;
constexpr int kDrainMaxMs = 15000;
constexpr qint64 kReadBufferBytes = 1 << 20;

qint64 monotonicMicroseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

} // namespace

// One client connection. Lives as a child of its socket and dies with it.
class HttpConnection : public QObject
{
public:
    HttpConnection(HttpsServer *server, QSslSocket *socket)
        : QObject(socket)
        , m_server(server)
        , m_socket(socket)
        , m_parser(server->m_bodyLimit)
        , m_connectedUs(monotonicMicroseconds())
    {
        socket->setReadBufferSize(kReadBufferBytes);
        m_idle.setSingleShot(true);
        m_idle.setInterval(server->m_idleTimeoutMs);
        connect(&m_idle, &QTimer::timeout, this, [this] {
            if (!m_busy)
                m_socket->abort();
        });
        connect(socket, &QIODevice::readyRead, this, &HttpConnection::onReadyRead);
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QAbstractSocket::errorOccurred, this, [this] {
            if (m_socket->state() != QAbstractSocket::ConnectedState)
                m_socket->deleteLater();
        });
        connect(socket, &QIODevice::bytesWritten, this, [this] { maybeFinishClose(); });
        m_idle.start();
        if (socket->bytesAvailable() > 0)
            onReadyRead();
    }

private:
    void onReadyRead()
    {
        // While a request is being handled, further bytes stay in the socket, whose bounded
        // buffer then holds the client back: pipelining cannot pile up memory here.
        if (m_busy && !m_draining)
            return;
        const QByteArray bytes = m_socket->readAll();
        if (m_draining) {
            m_drainQuiet.start(kDrainQuietMs);
            return;
        }
        if (m_closing)
            return;
        if (m_firstByteUs == 0 && !bytes.isEmpty())
            m_firstByteUs = monotonicMicroseconds();
        m_idle.start();
        m_parser.feed(bytes);
        process();
    }

    void process()
    {
        while (!m_busy && !m_closing) {
            if (m_parser.takeContinueRequest())
                m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            switch (m_parser.state()) {
            case HttpRequestParser::State::Head:
            case HttpRequestParser::State::Body:
                return;
            case HttpRequestParser::State::Failed: {
                const HttpRequest *head = m_parser.hasHead() ? &m_parser.head() : nullptr;
                HttpResponse response = m_server->m_errorResponder
                    ? m_server->m_errorResponder(m_parser.errorStatus(), m_parser.errorMessage(), head)
                    : HttpResponse::text(m_parser.errorStatus(), m_parser.errorMessage() + '\n');
                m_timer.start();
                m_receivedUs = monotonicMicroseconds();
                startDrain();
                finish(head ? head->method : QByteArray(), head ? head->path : QByteArray(),
                       response, false);
                return;
            }
            case HttpRequestParser::State::Complete:
                dispatch(m_parser.take());
                break;
            }
        }
    }

    void dispatch(const HttpRequest &request)
    {
        m_busy = true;
        m_idle.stop();
        m_timer.start();
        m_receivedUs = monotonicMicroseconds();
        const bool keepAlive = request.wantsKeepAlive();
        QPointer<HttpConnection> self(this);
        auto answered = std::make_shared<bool>(false);
        m_server->m_handler(request, [self, answered, keepAlive, method = request.method,
                                      path = request.path](HttpResponse response) {
            if (!self || *answered)
                return;
            *answered = true;
            self->finish(method, path, response, keepAlive);
            self->m_busy = false;
            if (!self->m_closing) {
                self->m_idle.start();
                // Pipelined requests already in the buffer: go on from the event loop, not
                // from inside the handler's call stack.
                QTimer::singleShot(0, self, [self] {
                    if (self)
                        self->onReadyRead();
                });
            }
        });
    }

    void finish(const QByteArray &method, const QByteArray &path, const HttpResponse &response,
                bool keepAlive)
    {
        m_socket->write(response.serialize(keepAlive));
        Q_EMIT m_server->requestFinished(method, path, response.status, m_timer.elapsed());
        Q_EMIT m_server->requestTimed(method, path, response.status, ++m_sequence, m_connectedUs,
                                      m_firstByteUs, m_receivedUs, monotonicMicroseconds());
        // The next request's first byte is the next one read (pipelined bytes already in the
        // parser are rare enough not to matter for a measurement).
        m_firstByteUs = 0;
        if (!keepAlive) {
            m_closing = true;
            maybeFinishClose();
        }
    }

    void startDrain()
    {
        m_draining = true;
        m_idle.stop();
        m_drainQuiet.setSingleShot(true);
        connect(&m_drainQuiet, &QTimer::timeout, this, [this] {
            m_draining = false;
            maybeFinishClose();
        });
        m_drainQuiet.start(kDrainQuietMs);
        QTimer::singleShot(kDrainMaxMs, this, [this] { m_socket->abort(); });
    }

    void maybeFinishClose()
    {
        if (m_closing && !m_draining && m_socket->bytesToWrite() == 0
            && m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->disconnectFromHost();
    }

    HttpsServer *m_server;
    QSslSocket *m_socket;
    HttpRequestParser m_parser;
    QTimer m_idle;
    QTimer m_drainQuiet;
    QElapsedTimer m_timer;
    qint64 m_connectedUs = 0;
    int m_sequence = 0;
    qint64 m_firstByteUs = 0;
    qint64 m_receivedUs = 0;
    bool m_busy = false;
    bool m_closing = false;
    bool m_draining = false;
};

HttpsServer::HttpsServer(QObject *parent)
    : QObject(parent)
    , m_server(new QSslServer(this))
{
    m_server->setHandshakeTimeout(10000);
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this,
            &HttpsServer::onPendingConnection);
    m_handler = [](const HttpRequest &, Respond respond) {
        respond(HttpResponse::text(404, "Not found\n"));
    };
}

HttpsServer::~HttpsServer() = default;

void HttpsServer::setTlsConfiguration(const QSslConfiguration &config)
{
    m_server->setSslConfiguration(config);
}

platform::Status HttpsServer::listen(const QHostAddress &address, quint16 port)
{
    if (!m_server->listen(address, port))
        return platform::Status::failure(int(m_server->serverError()) + 1, m_server->errorString());
    return platform::Status::success();
}

quint16 HttpsServer::port() const
{
    return m_server->serverPort();
}

bool HttpsServer::isListening() const
{
    return m_server->isListening();
}

void HttpsServer::close()
{
    m_server->close();
}

void HttpsServer::onPendingConnection()
{
    while (m_server->hasPendingConnections()) {
        auto *socket = qobject_cast<QSslSocket *>(m_server->nextPendingConnection());
        if (socket)
            new HttpConnection(this, socket);
    }
}

} // namespace voxendo::devserver
