#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslConfiguration>
#include <QUrl>
#include <QUrlQuery>

#include <deque>
#include <functional>

class QSslServer;
class QSslSocket;

namespace voxendo::test {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// One request as it arrived, byte for byte.
struct RecordedRequest
{
    QByteArray method;
    QByteArray target;   // request target as sent: path and query
    QByteArray path;     // target up to '?'
    QByteArray query;    // after '?', undecoded; empty when none
    HeaderList headers;  // in arrival order, names as sent
    QByteArray body;     // decoded from chunked transfer coding when used
    QByteArray raw;      // request line, headers and body exactly as read

    // First value of a header, matched case-insensitively; empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
    QList<QByteArray> headerNames() const;
    QUrlQuery queryItems() const { return QUrlQuery(QString::fromUtf8(query)); }
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// What the server does with one request.
struct FakeResponse
{
    enum class Action {
        Respond, // send status, headers and body
        // Close the connection without a byte of answer. QNetworkAccessManager resends a request
        // whose connection closed before any answer (up to twice), so to fail a request this
        // way answer every attempt with drop(): route() it rather than enqueue() it once.
        Drop,
        Hang,      // read the request and never answer
        Truncate,  // send the status, headers and half the body, then close the connection
    };

    Action action = Action::Respond;
    int status = 200;
    HeaderList headers;
    QByteArray body;
    int delayMs = 0; // wait this long before acting

    static FakeResponse json(int status, const QJsonObject &object);
    static FakeResponse json(int status, const QByteArray &rawJson);
    static FakeResponse text(int status, const QByteArray &body,
                             const QByteArray &contentType = "text/plain; charset=utf-8");
    static FakeResponse noContent(int status = 204);
    static FakeResponse drop();
    static FakeResponse hang();
    static FakeResponse truncated(int status, const QByteArray &fullBody);
    FakeResponse &after(int ms) { delayMs = ms; return *this; }
    FakeResponse &withHeader(const QByteArray &name, const QByteArray &value)
    {
        headers.append({name, value});
        return *this;
    }
};

// An in-process HTTPS/1.1 server on 127.0.0.1 for tests. It runs on the thread that created it
// (the test's event loop), answers from scripted responses and records every request.
//
//   HttpsFakeServer server;                        // certificate signed by the trusted test CA
//   server.enqueue("POST", "/v1/audio/transcriptions", FakeResponse::json(200, R"({"text":"hi"})"));
//   server.route("GET", "/config", [](const RecordedRequest &) { return FakeResponse::json(...); });
//   ... client talks to server.baseUrl() with trustedClientConfiguration() or
//       VOXENDO_EXTRA_CA_FILE=trustedCaPath() ...
//   QCOMPARE(server.requests().size(), 1);
//
// Every answer closes its connection, so each request arrives on a fresh connection.
// Answer order per request: the oldest queued response for its method+path, else its route
// handler, else the fallback (404 with a JSON body).
class HttpsFakeServer : public QObject
{
    Q_OBJECT
public:
    enum class Certificate { Trusted, Untrusted };
    using Handler = std::function<FakeResponse(const RecordedRequest &)>;

    explicit HttpsFakeServer(Certificate cert = Certificate::Trusted, QObject *parent = nullptr);
    ~HttpsFakeServer() override;

    // Listens on 127.0.0.1 with a free port; false (and a warning) if that fails.
    bool listen();
    quint16 port() const;
    // "https://localhost:<port>" (the certificate names localhost and 127.0.0.1).
    QUrl baseUrl() const;
    QString baseUrlString() const { return baseUrl().toString(); }

    void enqueue(const QByteArray &method, const QByteArray &path, const FakeResponse &response);
    void route(const QByteArray &method, const QByteArray &path, Handler handler);
    void setFallback(Handler handler);

    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requestsTo(const QByteArray &path) const;
    void clearRequests() { m_requests.clear(); }
    // Spins the event loop until `count` requests have arrived; false on time-out.
    bool waitForRequests(int count, int timeoutMs = 5000);
    // Closes every open connection (keep-alive ones included).
    void closeConnections();

    // The CA that signs the Trusted server certificate, as a PEM file and as a client config.
    static QString trustedCaPath();
    static QSslConfiguration trustedClientConfiguration();

Q_SIGNALS:
    void requestReceived(const voxendo::test::RecordedRequest &request);

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(QSslSocket *socket);
    bool parseOne(Connection &c, RecordedRequest &out);
    FakeResponse answerFor(const RecordedRequest &request);
    void act(QSslSocket *socket, const FakeResponse &response);

    QSslServer *m_server;
    QHash<QSslSocket *, Connection *> m_connections;
    QHash<QByteArray, std::deque<FakeResponse>> m_queued;
    QHash<QByteArray, Handler> m_routes;
    Handler m_fallback;
    QList<RecordedRequest> m_requests;
};

} // namespace voxendo::test
