#include "support/httpsfakeserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTest>
#include <QTimer>

namespace voxendo::test {

namespace {

QString certDir(HttpsFakeServer::Certificate cert)
{
    return QStringLiteral(VOXENDO_TEST_CERT_DIR "/")
        + (cert == HttpsFakeServer::Certificate::Trusted ? QStringLiteral("trusted")
                                                         : QStringLiteral("untrusted"));
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        qFatal("test certificate missing: %s", qPrintable(path));
    return f.readAll();
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 413: return "Payload Too Large";
    case 422: return "Unprocessable Entity";
    case 426: return "Upgrade Required";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Status";
    }
}

QByteArray routeKey(const QByteArray &method, const QByteArray &path)
{
    return method.toUpper() + ' ' + path;
}

} // namespace

// ---- RecordedRequest ----

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool RecordedRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QList<QByteArray> RecordedRequest::headerNames() const
{
    QList<QByteArray> names;
    for (const auto &h : headers)
        names.append(h.first);
    return names;
}

// ---- FakeResponse ----

FakeResponse FakeResponse::json(int status, const QJsonObject &object)
{
    return json(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

FakeResponse FakeResponse::json(int status, const QByteArray &rawJson)
{
    return text(status, rawJson, "application/json");
}

FakeResponse FakeResponse::text(int status, const QByteArray &body, const QByteArray &contentType)
{
    FakeResponse r;
    r.status = status;
    r.body = body;
    r.headers.append({"Content-Type", contentType});
    return r;
}

FakeResponse FakeResponse::noContent(int status)
{
    FakeResponse r;
    r.status = status;
    return r;
}

FakeResponse FakeResponse::drop()
{
    FakeResponse r;
    r.action = Action::Drop;
    return r;
}

FakeResponse FakeResponse::truncated(int status, const QByteArray &fullBody)
{
    FakeResponse r = text(status, fullBody, "application/json");
    r.action = Action::Truncate;
    return r;
}

FakeResponse FakeResponse::hang()
{
    FakeResponse r;
    r.action = Action::Hang;
    return r;
}

// ---- HttpsFakeServer ----

struct HttpsFakeServer::Connection
{
    QByteArray buffer;
    bool hung = false;
};

HttpsFakeServer::HttpsFakeServer(Certificate cert, QObject *parent)
    : QObject(parent)
    , m_server(new QSslServer(this))
{
    const QString dir = certDir(cert);
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(QSslCertificate(readFile(dir + "/server.crt"), QSsl::Pem));
    config.setPrivateKey(QSslKey(readFile(dir + "/server.key"), QSsl::Ec, QSsl::Pem));
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // clients present no certificate
    m_server->setSslConfiguration(config);
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this,
            &HttpsFakeServer::onNewConnection);
    m_fallback = [](const RecordedRequest &) {
        return FakeResponse::json(404, QByteArray(R"({"error":{"message":"no route in fake server"}})"));
    };
}

HttpsFakeServer::~HttpsFakeServer()
{
    closeConnections();
}

bool HttpsFakeServer::listen()
{
    if (m_server->isListening())
        return true;
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        qWarning("HttpsFakeServer: cannot listen: %s", qPrintable(m_server->errorString()));
        return false;
    }
    return true;
}

quint16 HttpsFakeServer::port() const
{
    return m_server->serverPort();
}

QUrl HttpsFakeServer::baseUrl() const
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QStringLiteral("localhost"));
    url.setPort(port());
    return url;
}

void HttpsFakeServer::enqueue(const QByteArray &method, const QByteArray &path,
                              const FakeResponse &response)
{
    m_queued[routeKey(method, path)].push_back(response);
}

void HttpsFakeServer::route(const QByteArray &method, const QByteArray &path, Handler handler)
{
    m_routes.insert(routeKey(method, path), std::move(handler));
}

void HttpsFakeServer::setFallback(Handler handler)
{
    m_fallback = std::move(handler);
}

QList<RecordedRequest> HttpsFakeServer::requestsTo(const QByteArray &path) const
{
    QList<RecordedRequest> out;
    for (const auto &r : m_requests) {
        if (r.path == path)
            out.append(r);
    }
    return out;
}

bool HttpsFakeServer::waitForRequests(int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_requests.size() < count && !deadline.hasExpired())
        QTest::qWait(5);
    return m_requests.size() >= count;
}

void HttpsFakeServer::closeConnections()
{
    const auto sockets = m_connections.keys();
    for (QSslSocket *s : sockets) {
        delete m_connections.take(s);
        s->disconnect(this);
        s->abort();
        s->deleteLater();
    }
}

QString HttpsFakeServer::trustedCaPath()
{
    return certDir(Certificate::Trusted) + QStringLiteral("/ca.crt");
}

QSslConfiguration HttpsFakeServer::trustedClientConfiguration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(QSslCertificate::fromData(readFile(trustedCaPath()), QSsl::Pem));
    return config;
}

void HttpsFakeServer::onNewConnection()
{
    while (m_server->hasPendingConnections()) {
        auto *socket = qobject_cast<QSslSocket *>(m_server->nextPendingConnection());
        if (!socket)
            continue;
        m_connections.insert(socket, new Connection);
        connect(socket, &QIODevice::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QAbstractSocket::disconnected, this, [this, socket] {
            delete m_connections.take(socket);
            socket->deleteLater();
        });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void HttpsFakeServer::onReadyRead(QSslSocket *socket)
{
    Connection *c = m_connections.value(socket);
    if (!c)
        return;
    c->buffer += socket->readAll();
    RecordedRequest request;
    while (!c->hung && parseOne(*c, request)) {
        m_requests.append(request);
        Q_EMIT requestReceived(request);
        const FakeResponse response = answerFor(request);
        if (response.action == FakeResponse::Action::Hang) {
            c->hung = true;
            break;
        }
        if (response.delayMs > 0) {
            QPointer<QSslSocket> guard(socket);
            QTimer::singleShot(response.delayMs, this, [this, guard, response] {
                if (guard)
                    act(guard, response);
            });
        } else {
            act(socket, response);
        }
        if (response.action == FakeResponse::Action::Drop)
            break;
    }
}

bool HttpsFakeServer::parseOne(Connection &c, RecordedRequest &out)
{
    const qsizetype headerEnd = c.buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QList<QByteArray> lines = c.buffer.left(headerEnd).split('\n');
    RecordedRequest r;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    r.method = requestLine.value(0);
    r.target = requestLine.value(1);
    const qsizetype q = r.target.indexOf('?');
    r.path = q < 0 ? r.target : r.target.left(q);
    r.query = q < 0 ? QByteArray() : r.target.mid(q + 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            r.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }

    qsizetype pos = headerEnd + 4;
    if (r.header("Transfer-Encoding").toLower().contains("chunked")) {
        QByteArray body;
        for (;;) {
            const qsizetype lineEnd = c.buffer.indexOf("\r\n", pos);
            if (lineEnd < 0)
                return false;
            bool ok = false;
            const qsizetype size = c.buffer.mid(pos, lineEnd - pos).split(';').value(0).trimmed().toLongLong(&ok, 16);
            if (!ok)
                return false;
            pos = lineEnd + 2;
            if (c.buffer.size() < pos + size + 2)
                return false;
            body += c.buffer.mid(pos, size);
            pos += size + 2;
            if (size == 0)
                break;
        }
        r.body = body;
    } else {
        const qsizetype length = r.header("Content-Length").toLongLong();
        if (c.buffer.size() < pos + length)
            return false;
        r.body = c.buffer.mid(pos, length);
        pos += length;
    }
    r.raw = c.buffer.left(pos);
    c.buffer.remove(0, pos);
    out = r;
    return true;
}

FakeResponse HttpsFakeServer::answerFor(const RecordedRequest &request)
{
    const QByteArray key = routeKey(request.method, request.path);
    auto queued = m_queued.find(key);
    if (queued != m_queued.end() && !queued->empty()) {
        FakeResponse r = queued->front();
        queued->pop_front();
        return r;
    }
    if (auto handler = m_routes.find(key); handler != m_routes.end())
        return (*handler)(request);
    return m_fallback(request);
}

void HttpsFakeServer::act(QSslSocket *socket, const FakeResponse &response)
{
    if (response.action == FakeResponse::Action::Drop) {
        delete m_connections.take(socket);
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
        return;
    }
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonPhrase(response.status) + "\r\n";
    bool hasLength = false;
    for (const auto &[name, value] : response.headers) {
        out += name + ": " + value + "\r\n";
        hasLength = hasLength || name.compare("Content-Length", Qt::CaseInsensitive) == 0;
    }
    if (!hasLength)
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    // One request per connection: a client then never retries a dropped request on a fresh
    // connection behind the test's back, and every request shows its own TLS handshake.
    out += "Connection: close\r\n\r\n";
    if (response.action == FakeResponse::Action::Truncate) {
        out += response.body.left(response.body.size() / 2);
        socket->write(out);
        socket->flush();
        socket->disconnectFromHost();
        return;
    }
    out += response.body;
    socket->write(out);
    socket->disconnectFromHost();
}

} // namespace voxendo::test
