// The pieces every subsystem builds on: TLS trust through VOXENDO_EXTRA_CA_FILE, the fake
// HTTPS server the network tests rely on, endpoint overrides and the command line.
#include "app/commandline.h"
#include "common/endpoints.h"
#include "common/network.h"
#include "support/httpsfakeserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

using namespace voxendo;
using namespace voxendo::test;

class TestFoundation : public QObject
{
    Q_OBJECT

    // A fresh manager per request: one manager reuses a TLS session for the same host and port.
    static QNetworkReply *send(QNetworkAccessManager &nam, const QNetworkRequest &req,
                               const QByteArray &body = {})
    {
        QNetworkReply *reply = body.isNull() ? nam.get(req) : nam.post(req, body);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(10000);
        return reply;
    }

private Q_SLOTS:
    void trustsTheExtraCaOnlyWhenNamed()
    {
        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.route("GET", "/hello", [](const RecordedRequest &) {
            return FakeResponse::text(200, "hi");
        });

        qunsetenv("VOXENDO_EXTRA_CA_FILE");
        {
            QNetworkAccessManager nam;
            QNetworkReply *reply = send(nam, Network::request(server.baseUrl().resolved(QUrl("/hello"))));
            QCOMPARE(reply->error(), QNetworkReply::SslHandshakeFailedError);
        }
        qputenv("VOXENDO_EXTRA_CA_FILE", HttpsFakeServer::trustedCaPath().toUtf8());
        {
            QNetworkAccessManager nam;
            QNetworkReply *reply = send(nam, Network::request(server.baseUrl().resolved(QUrl("/hello"))));
            QCOMPARE(reply->error(), QNetworkReply::NoError);
            QCOMPARE(reply->readAll(), QByteArray("hi"));
        }
        // A server whose CA was never named stays untrusted.
        HttpsFakeServer stranger(HttpsFakeServer::Certificate::Untrusted);
        QVERIFY(stranger.listen());
        {
            QNetworkAccessManager nam;
            QNetworkReply *reply = send(nam, Network::request(stranger.baseUrl()));
            QCOMPARE(reply->error(), QNetworkReply::SslHandshakeFailedError);
        }
        QCOMPARE(stranger.requests().size(), 0);
        qunsetenv("VOXENDO_EXTRA_CA_FILE");
    }

    void fakeServerRecordsAndScripts()
    {
        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.enqueue("POST", "/v1/x", FakeResponse::json(201, QByteArray(R"({"n":1})")).withHeader("X-Test", "a"));
        server.enqueue("POST", "/v1/x", FakeResponse::truncated(200, QByteArray(100, 'x')));
        server.enqueue("POST", "/v1/x", FakeResponse::hang());
        server.route("POST", "/v1/drop", [](const RecordedRequest &) { return FakeResponse::drop(); });

        QNetworkRequest req(server.baseUrl().resolved(QUrl("/v1/x?a=1&b=two")));
        req.setSslConfiguration(HttpsFakeServer::trustedClientConfiguration());
        req.setRawHeader("Authorization", "Bearer abc");
        req.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
        QByteArray body("\x00\x01\r\n--binary--", 15);

        QNetworkAccessManager nam;
        QNetworkReply *first = send(nam, req, body);
        QCOMPARE(first->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 201);
        QCOMPARE(first->rawHeader("X-Test"), QByteArray("a"));
        QCOMPARE(first->readAll(), QByteArray(R"({"n":1})"));

        QNetworkReply *second = send(nam, req, body);
        QCOMPARE(second->error(), QNetworkReply::RemoteHostClosedError);

        nam.setTransferTimeout(300);
        QNetworkReply *third = send(nam, req, body);
        QCOMPARE(third->error(), QNetworkReply::OperationCanceledError);

        QVERIFY(server.waitForRequests(3));
        nam.setTransferTimeout(5000);
        QNetworkRequest dropReq = req;
        dropReq.setUrl(server.baseUrl().resolved(QUrl("/v1/drop")));
        QNetworkReply *dropped = send(nam, dropReq, body);
        QCOMPARE(dropped->error(), QNetworkReply::RemoteHostClosedError);

        const RecordedRequest r = server.requests().first();
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.path, QByteArray("/v1/x"));
        QCOMPARE(r.query, QByteArray("a=1&b=two"));
        QCOMPARE(r.queryItems().queryItemValue("b"), QString("two"));
        QCOMPARE(r.header("authorization"), QByteArray("Bearer abc"));
        QCOMPARE(r.body, body);
        QVERIFY(r.raw.endsWith(body));
        QVERIFY(r.raw.startsWith("POST /v1/x?a=1&b=two HTTP/1.1\r\n"));

        // Unscripted paths get the fallback.
        QNetworkReply *other = send(nam, req);
        QCOMPARE(other->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
    }

    void delayedAnswersArriveLate()
    {
        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.enqueue("GET", "/slow", FakeResponse::text(200, "late").after(300));
        QNetworkRequest req(server.baseUrl().resolved(QUrl("/slow")));
        req.setSslConfiguration(HttpsFakeServer::trustedClientConfiguration());
        QNetworkAccessManager nam;
        QElapsedTimer timer;
        timer.start();
        QNetworkReply *reply = send(nam, req);
        QVERIFY(timer.elapsed() >= 290);
        QCOMPARE(reply->readAll(), QByteArray("late"));
    }

    void endpointsFollowTheEnvironment()
    {
        qunsetenv("VOXENDO_BACKEND_URL");
        const QString builtIn = Endpoints::backendBaseUrl();
        QVERIFY(builtIn.startsWith("https://"));
        qputenv("VOXENDO_BACKEND_URL", "https://localhost:1234");
        QCOMPARE(Endpoints::backendBaseUrl(), QString("https://localhost:1234"));
        qputenv("VOXENDO_BACKEND_URL", "   ");
        QCOMPARE(Endpoints::backendBaseUrl(), builtIn);
        qunsetenv("VOXENDO_BACKEND_URL");

        QCoreApplication::setApplicationVersion(QString());
        QCOMPARE(Endpoints::appVersion(), QString("0.0.0"));
        QCoreApplication::setApplicationVersion("1.2.3");
        QCOMPARE(Endpoints::appVersion(), QString("1.2.3"));
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("action");
        using A = CommandLine::Action;
        QTest::newRow("none") << QStringList{"voxendo"} << int(A::Run);
        QTest::newRow("help") << QStringList{"voxendo", "--help"} << int(A::ShowHelp);
        QTest::newRow("-h") << QStringList{"voxendo", "-h"} << int(A::ShowHelp);
        QTest::newRow("version") << QStringList{"voxendo", "--version"} << int(A::ShowVersion);
        QTest::newRow("qt option") << QStringList{"voxendo", "-platform", "offscreen"} << int(A::Run);
        QTest::newRow("unknown") << QStringList{"voxendo", "--frobnicate"} << int(A::Fail);
    }
    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, action);
        QCOMPARE(int(CommandLine::parse(args).action), action);
    }
};

QTEST_MAIN(TestFoundation)
#include "tst_foundation.moc"
