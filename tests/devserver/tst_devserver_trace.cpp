// `--trace`: one line per request with CLOCK_MONOTONIC marks (TLS handshake done, first byte,
// last byte, answer written) that a benchmark compares with the client's own marks. Checked on
// a real HTTPS connection that carries several requests.
#include "devserver/devserver.h"
#include "testclient.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

using namespace voxendo::devserver;
using namespace voxendo::devserver::test;

namespace {

qint64 monotonicNowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

DevServerOptions optionsFor(const QString &dataDir, bool trace)
{
    DevServerOptions o;
    o.port = 0;
    o.dataDir = dataDir;
    o.openAiKeysFile = dataDir + QStringLiteral("/openai-keys.txt");
    o.pbkdf2Iterations = 1000;
    o.trace = trace;
    return o;
}

} // namespace

class TestDevserverTrace : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneLinePerRequestInOrderOfEvents()
    {
        QTemporaryDir tmp;
        DevServer server(optionsFor(tmp.filePath(QStringLiteral("data")), true));
        QSignalSpy lines(&server, &DevServer::traceLine);
        const auto status = server.start();
        QVERIFY2(status.ok(), qPrintable(status.message));
        TestClient client(server.baseUrl(), server.caCertificatePath());

        const qint64 before = monotonicNowUs();
        QCOMPARE(client.get("/config?apikey=sk-secret-in-query").status, 200);
        QCOMPARE(client.get("/config").status, 200);
        // A refused upload still counts: its body arrives and is answered.
        const QByteArray boundary = "b0undary";
        const Answer upload = client.post("/v1/audio/transcriptions",
                                          multipartUpload(boundary, QByteArray(200 * 1024, 'a')),
                                          {{"Content-Type", "multipart/form-data; boundary=" + boundary},
                                           {"Authorization", "Bearer sk-not-accepted"}});
        QCOMPARE(upload.status, 401);
        QTRY_COMPARE(lines.size(), 3);
        const qint64 after = monotonicNowUs();

        static const QRegularExpression re(QStringLiteral(
            "^trace (\\S+) (\\S+) (\\d+) request=(\\d+) connected=(\\d+) first-byte=(\\d+) "
            "received=(\\d+) answered=(\\d+)$"));
        const QStringList expected = {QStringLiteral("GET /config 200"), QStringLiteral("GET /config 200"),
                                      QStringLiteral("POST /v1/audio/transcriptions 401")};
        qint64 connection = 0;
        qint64 previousAnswer = before;
        for (int i = 0; i < 3; ++i) {
            const QString line = lines.at(i).at(0).toString();
            QVERIFY2(!line.contains(QLatin1String("secret")), qPrintable(line));
            const auto m = re.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(line));
            QCOMPARE(QStringLiteral("%1 %2 %3").arg(m.captured(1), m.captured(2), m.captured(3)), expected[i]);
            // One keep-alive connection carries all three.
            QCOMPARE(m.captured(4).toInt(), i + 1);
            const qint64 connected = m.captured(5).toLongLong();
            if (i == 0)
                connection = connected;
            QCOMPARE(connected, connection);
            const qint64 firstByte = m.captured(6).toLongLong(), received = m.captured(7).toLongLong(),
                         answered = m.captured(8).toLongLong();
            QVERIFY2(before <= connected && connected <= firstByte && firstByte <= received
                         && received <= answered && answered <= after,
                     qPrintable(line));
            // Each request's first byte is its own, not the connection's first.
            QVERIFY2(firstByte >= previousAnswer, qPrintable(line));
            previousAnswer = answered;
        }
    }

    void silentWithoutTheOption()
    {
        QTemporaryDir tmp;
        DevServer server(optionsFor(tmp.filePath(QStringLiteral("data")), false));
        QSignalSpy lines(&server, &DevServer::traceLine);
        QVERIFY(server.start().ok());
        TestClient client(server.baseUrl(), server.caCertificatePath());
        QCOMPARE(client.get("/config").status, 200);
        QCOMPARE(lines.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDevserverTrace)
#include "tst_devserver_trace.moc"
