// WhisperService against a real HTTPS server: the request byte for byte on both routes, every
// answer the client has to read, transport failures, and the failures found before sending.
#include "common/endpoints.h"
#include "support/capture.h"
#include "support/httpsfakeserver.h"
#include "transcription/whisperservice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSettings>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

using namespace voxendo;
using namespace voxendo::test;
using namespace std::chrono_literals;

namespace {

const QByteArray kPath = "/v1/audio/transcriptions";
// Bytes a careless body builder would mangle: NUL, CR, LF, high bytes and a line that looks
// like a multipart boundary.
const QByteArray kAudio("\x00\x01\r\n--\r\n--00000000-0000-0000-0000-000000000000--\r\n\xff\xfe\x00\r", 52);
const QString kKey = QStringLiteral("sk-test-Secret-Key-123");
const QString kToken = QStringLiteral("eyJhbGciOi.session-token.sig");

// One transcribe() call as the caller sees it.
struct Run
{
    int calls = 0;
    bool returned = false;
    bool synchronous = false;
    QThread *thread = nullptr;
    std::optional<WhisperResult> result;

    QString description() const { return result ? result->errorDescription() : QString(); }
    std::optional<WhisperError::Cause> cause() const
    {
        return result && result->error() ? result->error()->cause() : std::nullopt;
    }
};

std::shared_ptr<Run> transcribe(const QString &file, const QString &language,
                                std::optional<QString> key, std::optional<QString> token,
                                double duration, QNetworkAccessManager *nam,
                                std::chrono::milliseconds timeout = 10s)
{
    auto run = std::make_shared<Run>();
    WhisperService::transcribe(
        QUrl::fromLocalFile(file), language, key, token, duration,
        [run](const WhisperResult &result) {
            ++run->calls;
            run->synchronous = !run->returned;
            run->thread = QThread::currentThread();
            run->result = result;
        },
        WhisperService::Transport{nam, timeout});
    run->returned = true;
    return run;
}

// Waits for the completion, then a little longer to catch a second call.
bool finished(const Run &run, int settleMs = 100)
{
    if (!QTest::qWaitFor([&] { return run.calls > 0; }, 15000))
        return false;
    QTest::qWait(settleMs);
    return true;
}

QByteArray boundaryOf(const RecordedRequest &request)
{
    const QByteArray type = request.header("Content-Type");
    const QByteArray prefix = "multipart/form-data; boundary=";
    return type.startsWith(prefix) ? type.mid(prefix.size()) : QByteArray();
}

// A raw TLS server for answers HttpsFakeServer cannot give: it waits for a whole request and
// then hands the socket to `onRequest`.
class RawServer : public QObject
{
public:
    explicit RawServer(std::function<void(QSslSocket *)> onRequest)
        : m_onRequest(std::move(onRequest))
    {
        const QString dir = QFileInfo(HttpsFakeServer::trustedCaPath()).absolutePath();
        QFile cert(dir + "/server.crt"), key(dir + "/server.key");
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly))
            qFatal("test certificate missing in %s", qPrintable(dir));
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificate(QSslCertificate(cert.readAll(), QSsl::Pem));
        config.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec, QSsl::Pem));
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        m_server.setSslConfiguration(config);
        connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
            while (auto *socket = qobject_cast<QSslSocket *>(m_server.nextPendingConnection())) {
                socket->setParent(this);
                connect(socket, &QIODevice::readyRead, this, [this, socket] { onReadyRead(socket); });
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    QString baseUrl() const { return QStringLiteral("https://localhost:%1").arg(m_server.serverPort()); }

private:
    void onReadyRead(QSslSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        static const QRegularExpression length(QStringLiteral("(?i)content-length:\\s*(\\d+)"));
        const auto match = length.match(QString::fromLatin1(buffer.left(end)));
        if (buffer.size() < end + 4 + (match.hasMatch() ? match.captured(1).toLongLong() : 0))
            return;
        m_buffers.remove(socket);
        socket->disconnect(this);
        m_onRequest(socket);
    }

    QSslServer m_server;
    QHash<QSslSocket *, QByteArray> m_buffers;
    std::function<void(QSslSocket *)> m_onRequest;
};

} // namespace

class TestWhisperService : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_audio;

    // A fresh manager per exchange: one manager reuses TLS sessions for the same host and port.
    std::unique_ptr<QNetworkAccessManager> freshManager() { return std::make_unique<QNetworkAccessManager>(); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Settings go to a private directory, whatever HOME the tests run with.
        qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());
        QCoreApplication::setOrganizationName("Voxendo");
        QCoreApplication::setApplicationName("Voxendo");
        qputenv("VOXENDO_EXTRA_CA_FILE", HttpsFakeServer::trustedCaPath().toUtf8());

        m_audio = m_dir.filePath("voxendo_FIXTURE.m4a");
        QFile file(m_audio);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(kAudio);
    }

    void init()
    {
        QSettings().remove(WhisperService::proxyURLSettingsKey);
        qunsetenv("VOXENDO_BACKEND_URL");
        qunsetenv("VOXENDO_OPENAI_API_BASE");
        QCoreApplication::setApplicationVersion("1.2.3");
    }

    void requestIsExact_data()
    {
        QTest::addColumn<QString>("route"); // "key", "token" or "anonymous"
        QTest::addColumn<QString>("language");
        QTest::addColumn<double>("duration");
        QTest::addColumn<QString>("appVersion");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("sentFileName");
        QTest::addColumn<QByteArray>("tail"); // the parts after the model part; {B} = boundary
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<QByteArray>("appVersionHeader");

        const QByteArray language = "--{B}\r\nContent-Disposition: form-data; name=\"language\"\r\n\r\n";
        const QByteArray duration = "--{B}\r\nContent-Disposition: form-data; name=\"durationSeconds\"\r\n\r\n";
        const QByteArray close = "--{B}--\r\n";
        const QByteArray plain = "voxendo_FIXTURE.m4a";

        QTest::newRow("own key: language sent, duration never")
            << "key" << "en" << 4.2 << "1.2.3" << QString(plain) << plain
            << language + "en\r\n" + close << "Bearer " + kKey.toUtf8() << QByteArray();
        QTest::newRow("own key, auto: neither part")
            << "key" << "auto" << 0.0 << "1.2.3" << QString(plain) << plain
            << close << "Bearer " + kKey.toUtf8() << QByteArray();
        QTest::newRow("token, auto, 4.2")
            << "token" << "auto" << 4.2 << "1.2.3" << QString(plain) << plain
            << duration + "4.2\r\n" + close << "Bearer " + kToken.toUtf8() << QByteArray("1.2.3");
        QTest::newRow("token, AUTO is sent as passed, 3 s")
            << "token" << "AUTO" << 3.0 << "1.2.3" << QString(plain) << plain
            << language + "AUTO\r\n" + duration + "3.0\r\n" + close << "Bearer " + kToken.toUtf8()
            << QByteArray("1.2.3");
        QTest::newRow("token, no app version, duration 0")
            << "token" << "de" << 0.0 << "" << QString(plain) << plain
            << language + "de\r\n" + close << "Bearer " + kToken.toUtf8() << QByteArray("0.0.0");
        QTest::newRow("no token: no credentials, still sent")
            << "anonymous" << "Uk" << 2.5 << "1.2.3" << QString(plain) << plain
            << language + "Uk\r\n" + duration + "2.5\r\n" + close << QByteArray() << QByteArray();
        QTest::newRow("quote and line break in the file name stay inside the header")
            << "token" << "auto" << 0.0 << "1.2.3" << QStringLiteral("a\"b\r\nX: y.m4a")
            << QByteArray("a%22b%0D%0AX: y.m4a") << close << "Bearer " + kToken.toUtf8()
            << QByteArray("1.2.3");
    }

    void requestIsExact()
    {
        QFETCH(QString, route);
        QFETCH(QString, language);
        QFETCH(double, duration);
        QFETCH(QString, appVersion);
        QFETCH(QString, fileName);
        QFETCH(QByteArray, sentFileName);
        QFETCH(QByteArray, tail);
        QFETCH(QByteArray, authorization);
        QFETCH(QByteArray, appVersionHeader);

        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.enqueue("POST", kPath, FakeResponse::json(200, QByteArray(R"({"text":"  Hello\n world \n","x":1})")));
        qputenv("VOXENDO_BACKEND_URL", server.baseUrlString().toUtf8());
        qputenv("VOXENDO_OPENAI_API_BASE", server.baseUrlString().toUtf8());
        QCoreApplication::setApplicationVersion(appVersion);

        const QString file = m_dir.filePath(fileName);
        if (file != m_audio)
            QVERIFY(QFile::copy(m_audio, file));

        auto nam = freshManager();
        const auto run = transcribe(file, language, route == "key" ? std::optional(kKey) : std::nullopt,
                                    route == "token" ? std::optional(kToken) : std::nullopt, duration,
                                    nam.get());
        QVERIFY(finished(*run));
        QCOMPARE(run->calls, 1);
        QVERIFY(!run->synchronous);
        QVERIFY(run->result->isSuccess());
        QCOMPARE(run->result->text(), QString("  Hello\n world \n")); // exactly as sent

        QCOMPARE(server.requests().size(), 1);
        const RecordedRequest request = server.requests().first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.path, kPath);

        const QByteArray boundary = boundaryOf(request);
        QVERIFY2(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                     .match(QString::fromLatin1(boundary)).hasMatch(),
                 boundary.constData());
        QByteArray expected = "--{B}\r\nContent-Disposition: form-data; name=\"file\"; filename=\""
            + sentFileName + "\"\r\nContent-Type: audio/m4a\r\n\r\n" + kAudio
            + "\r\n--{B}\r\nContent-Disposition: form-data; name=\"model\"\r\n\r\nwhisper-1\r\n" + tail;
        expected.replace("{B}", boundary);
        QCOMPARE(request.body, expected);

        QCOMPARE(request.hasHeader("Authorization"), !authorization.isEmpty());
        QCOMPARE(request.header("Authorization"), authorization);
        QCOMPARE(request.hasHeader("X-App-Version"), !appVersionHeader.isEmpty());
        QCOMPARE(request.header("X-App-Version"), appVersionHeader);

        // Our headers go out in the order Authorization, X-App-Version, Content-Type.
        QList<QByteArray> ours;
        for (const QByteArray &name : request.headerNames()) {
            if (name == "Authorization" || name == "X-App-Version" || name == "Content-Type")
                ours.append(name);
        }
        QList<QByteArray> expectedOrder;
        if (!authorization.isEmpty())
            expectedOrder << "Authorization";
        if (!appVersionHeader.isEmpty())
            expectedOrder << "X-App-Version";
        expectedOrder << "Content-Type";
        QCOMPARE(ours, expectedOrder);
    }

    void boundaryIsFreshPerRequest()
    {
        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.route("POST", kPath, [](const RecordedRequest &) {
            return FakeResponse::json(200, QByteArray(R"({"text":"ok"})"));
        });
        qputenv("VOXENDO_BACKEND_URL", server.baseUrlString().toUtf8());
        auto nam = freshManager();
        const auto first = transcribe(m_audio, "auto", std::nullopt, kToken, 1.0, nam.get());
        const auto second = transcribe(m_audio, "auto", std::nullopt, kToken, 1.0, nam.get());
        QVERIFY(finished(*first));
        QVERIFY(finished(*second));
        QCOMPARE(server.requests().size(), 2);
        const QByteArray a = boundaryOf(server.requests()[0]);
        const QByteArray b = boundaryOf(server.requests()[1]);
        QCOMPARE(a.size(), 36);
        QVERIFY(a != b);
        QVERIFY(server.requests()[1].body.endsWith("\r\n--" + b + "--\r\n"));
    }

    void durationText_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("whole") << 3.0 << QByteArray("3.0");
        QTest::newRow("half") << 2.5 << QByteArray("2.5");
        QTest::newRow("not exact in binary") << 4.2 << QByteArray("4.2");
        QTest::newRow("limit") << 120.0 << QByteArray("120.0");
        QTest::newRow("just below the limit") << 119.99999 << QByteArray("119.99999");
        QTest::newRow("a third") << 1.0 / 3 << QByteArray("0.3333333333333333");
        QTest::newRow("tiny, no exponent") << 0.0001 << QByteArray("0.0001");
    }

    void durationText()
    {
        QFETCH(double, seconds);
        QFETCH(QByteArray, text);
        QCOMPARE(WhisperService::durationText(seconds), text);
        QCOMPARE(text.toDouble(), seconds); // reads back as the same double
    }

    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("expected"); // the text on success, else the error description

        const QByteArray longBody(300, 'x');
        QByteArray emoji;
        for (int i = 0; i < 201; ++i)
            emoji += "\xF0\x9F\x91\x8D"; // one character, two UTF-16 units

        QTest::newRow("text") << 200 << QByteArray(R"({"text":"Hi there."})") << true << "Hi there.";
        QTest::newRow("empty text") << 200 << QByteArray(R"({"text":""})") << true << "";
        QTest::newRow("text wins over error")
            << 200 << QByteArray(R"({"error":{"message":"m"},"text":"t"})") << true << "t";
        QTest::newRow("error message in a 200")
            << 200 << QByteArray(R"({"error":{"message":"m"}})") << false << "API error: m";
        QTest::newRow("text is a number")
            << 200 << QByteArray(R"({"text":5})") << false << R"(API error: Unexpected response: {"text":5})";
        QTest::newRow("error without message string")
            << 200 << QByteArray(R"({"error":{"message":7}})") << false
            << R"(API error: Unexpected response: {"error":{"message":7}})";
        QTest::newRow("array") << 200 << QByteArray("[1,2]") << false << "API error: Parse error: [1,2]";
        QTest::newRow("empty body") << 200 << QByteArray() << false
            << "Network error: The server's answer is not valid JSON (illegal value)";
        QTest::newRow("bare number") << 200 << QByteArray("5") << false
            << "Network error: The server's answer is not valid JSON (illegal value)";
        QTest::newRow("html") << 200 << QByteArray("<html>oops</html>") << false
            << "Network error: The server's answer is not valid JSON (illegal value)";
        QTest::newRow("426, body ignored") << 426 << QByteArray(R"({"text":"x"})") << false
            << "Please update Voxendo to continue using it.";
        QTest::newRow("500, 300 characters")
            << 500 << longBody << false << "API error: HTTP 500: " + QString(200, 'x') + "...";
        QTest::newRow("500, exactly 200 characters")
            << 500 << QByteArray(200, 'y') << false << "API error: HTTP 500: " + QString(200, 'y');
        QTest::newRow("503, cut between characters, not inside one")
            << 503 << emoji << false
            << "API error: HTTP 503: " + QString::fromUtf8(emoji.left(800)) + "...";
        QTest::newRow("401, empty body") << 401 << QByteArray() << false << "API error: HTTP 401: ";
        QTest::newRow("403, not UTF-8") << 403 << QByteArray("bad \xC3\x28 bytes") << false
            << "API error: HTTP 403: No body";
        QTest::newRow("400 error envelope shows the body")
            << 400 << QByteArray(R"({"error":{"message":"Invalid file format."}})") << false
            << R"(API error: HTTP 400: {"error":{"message":"Invalid file format."}})";
        QTest::newRow("404") << 404 << QByteArray("not here") << false << "API error: HTTP 404: not here";
        QTest::newRow("407 from the server is an answer too")
            << 407 << QByteArray("proxy says no") << false << "API error: HTTP 407: proxy says no";
        QTest::newRow("201 is not 200") << 201 << QByteArray(R"({"text":"t"})") << false
            << R"(API error: HTTP 201: {"text":"t"})";
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, success);
        QFETCH(QString, expected);

        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.enqueue("POST", kPath, FakeResponse::json(status, body));
        qputenv("VOXENDO_BACKEND_URL", server.baseUrlString().toUtf8());
        auto nam = freshManager();
        const auto run = transcribe(m_audio, "en", std::nullopt, kToken, 1.5, nam.get());
        QVERIFY(finished(*run));
        QCOMPARE(run->calls, 1);
        QVERIFY(!run->synchronous);
        QCOMPARE(run->result->isSuccess(), success);
        QCOMPARE(success ? run->result->text() : run->description(), expected);
    }

    void transportFailures_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("code"); // QNetworkReply::NetworkError, or -1 for any
        QTest::addColumn<QString>("expected"); // the description, or its start when it ends in '*'

        QTest::newRow("connection refused") << "refused" << int(QNetworkReply::ConnectionRefusedError)
                                            << "Network error: Connection refused";
        QTest::newRow("untrusted certificate")
            << "untrusted" << int(QNetworkReply::SslHandshakeFailedError) << "Network error: SSL handshake failed*";
        QTest::newRow("never answers") << "hang" << int(QNetworkReply::TimeoutError)
                                       << "Network error: The request timed out";
        QTest::newRow("trickles forever") << "trickle" << int(QNetworkReply::TimeoutError)
                                          << "Network error: The request timed out";
        QTest::newRow("body cut short") << "truncated" << int(QNetworkReply::RemoteHostClosedError)
                                        << "Network error: *";
        QTest::newRow("closed without answer") << "drop" << int(QNetworkReply::RemoteHostClosedError)
                                               << "Network error: *";
        QTest::newRow("not HTTP") << "garbage" << -1 << "Network error: *";
    }

    void transportFailures()
    {
        QFETCH(QString, kind);
        QFETCH(int, code);
        QFETCH(QString, expected);

        HttpsFakeServer server;
        HttpsFakeServer untrusted(HttpsFakeServer::Certificate::Untrusted);
        QVERIFY(server.listen());
        QVERIFY(untrusted.listen());
        std::unique_ptr<RawServer> raw;
        QString base = server.baseUrlString();

        if (kind == "refused") {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            base = QStringLiteral("https://localhost:%1").arg(probe.serverPort());
            probe.close();
        } else if (kind == "untrusted") {
            base = untrusted.baseUrlString();
        } else if (kind == "hang") {
            server.enqueue("POST", kPath, FakeResponse::hang());
        } else if (kind == "truncated") {
            server.enqueue("POST", kPath, FakeResponse::truncated(200, R"({"text":"the whole sentence"})"));
        } else if (kind == "drop") {
            server.route("POST", kPath, [](const RecordedRequest &) { return FakeResponse::drop(); });
        } else if (kind == "trickle") {
            // Never silent for as long as the time-out, never done: only a hard deadline ends it.
            raw = std::make_unique<RawServer>([](QSslSocket *socket) {
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100000\r\n\r\n{");
                auto *drip = new QTimer(socket);
                QObject::connect(drip, &QTimer::timeout, socket, [socket] { socket->write(" "); });
                drip->start(40);
            });
            base = raw->baseUrl();
        } else if (kind == "garbage") {
            raw = std::make_unique<RawServer>([](QSslSocket *socket) {
                socket->write("SSH-2.0-OpenSSH\r\n\r\n\x00\x01\x02 not http at all");
                socket->disconnectFromHost();
            });
            base = raw->baseUrl();
        }
        qputenv("VOXENDO_BACKEND_URL", base.toUtf8());

        auto nam = freshManager();
        const auto run = transcribe(m_audio, "auto", std::nullopt, kToken, 2.0, nam.get(), 400ms);
        QVERIFY(finished(*run, 600)); // well past the time-out: no second call
        QCOMPARE(run->calls, 1);
        QVERIFY(!run->synchronous);
        QVERIFY(run->result->error());
        QCOMPARE(run->result->error()->kind(), WhisperError::Kind::networkError);
        const auto cause = run->cause();
        QVERIFY(cause);
        QCOMPARE(cause->domain, WhisperError::Cause::Domain::Network);
        if (code >= 0)
            QCOMPARE(cause->code, code);
        QVERIFY2(!cause->description.isEmpty(), "the underlying error has a readable text");
        if (expected.endsWith('*'))
            QVERIFY2(run->description().startsWith(expected.chopped(1)), qPrintable(run->description()));
        else
            QCOMPARE(run->description(), expected);
    }

    void failuresBeforeSending_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("file"); // "fixture", "missing" or "directory"
        QTest::addColumn<bool>("ownKey");
        QTest::addColumn<QString>("base"); // for the chosen route; {S} = the fake server
        QTest::addColumn<QString>("expected");

        QTest::newRow("unknown language") << "xx" << "fixture" << false << "{S}" << "Invalid language code";
        QTest::newRow("empty language") << "" << "fixture" << true << "{S}" << "Invalid language code";
        QTest::newRow("language checked before the file")
            << "english" << "missing" << false << "{S}" << "Invalid language code";
        QTest::newRow("missing file") << "en" << "missing" << false << "{S}"
                                      << "Network error: No such file or directory";
        QTest::newRow("missing file, own key") << "auto" << "missing" << true << "{S}"
                                               << "Network error: No such file or directory";
        QTest::newRow("directory instead of a file") << "en" << "directory" << false << "{S}"
                                                     << "Network error: *";
        QTest::newRow("backend over http") << "en" << "fixture" << false << "http://localhost:9"
                                           << "Invalid proxy URL - must use HTTPS";
        QTest::newRow("backend as host and port") << "en" << "fixture" << false << "localhost:9"
                                                << "Invalid proxy URL - must use HTTPS";
        QTest::newRow("backend unparsable") << "en" << "fixture" << false << "https://bad host"
                                            << "Proxy server URL not configured";
        QTest::newRow("address checked before the file") << "en" << "missing" << false
                                                         << "http://localhost:9"
                                                         << "Invalid proxy URL - must use HTTPS";
        QTest::newRow("own key never over http") << "en" << "fixture" << true << "http://localhost:9"
                                                 << "Invalid proxy URL - must use HTTPS";
        QTest::newRow("own key, unparsable") << "en" << "fixture" << true << "https://bad host"
                                             << "Proxy server URL not configured";
    }

    void failuresBeforeSending()
    {
        QFETCH(QString, language);
        QFETCH(QString, file);
        QFETCH(bool, ownKey);
        QFETCH(QString, base);
        QFETCH(QString, expected);

        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.route("POST", kPath, [](const RecordedRequest &) {
            return FakeResponse::json(200, QByteArray(R"({"text":"should not be asked"})"));
        });
        base.replace("{S}", server.baseUrlString());
        qputenv(ownKey ? "VOXENDO_OPENAI_API_BASE" : "VOXENDO_BACKEND_URL", base.toUtf8());
        qputenv(ownKey ? "VOXENDO_BACKEND_URL" : "VOXENDO_OPENAI_API_BASE", server.baseUrlString().toUtf8());

        const QString path = file == "missing" ? m_dir.filePath("voxendo_gone.m4a")
            : file == "directory"              ? m_dir.path()
                                               : m_audio;
        auto nam = freshManager();
        const auto run = transcribe(path, language, ownKey ? std::optional(kKey) : std::nullopt,
                                    ownKey ? std::nullopt : std::optional(kToken), 2.0, nam.get());
        QCOMPARE(run->calls, 1); // before transcribe returned
        QVERIFY(run->synchronous);
        if (expected.endsWith('*'))
            QVERIFY2(run->description().startsWith(expected.chopped(1)) && run->description() != expected.chopped(1),
                     qPrintable(run->description()));
        else
            QCOMPARE(run->description(), expected);
        if (file != "fixture" && run->cause())
            QCOMPARE(run->cause()->domain, WhisperError::Cause::Domain::File);

        QTest::qWait(100);
        QCOMPARE(run->calls, 1);
        QCOMPARE(server.requests().size(), 0);
    }

    void proxyUrlSetting_data()
    {
        QTest::addColumn<QString>("stored"); // {O} = the override server
        QTest::addColumn<bool>("overrideUsed");
        QTest::addColumn<QByteArray>("path");

        QTest::newRow("https") << "https://localhost:{O}" << true << kPath;
        QTest::newRow("HTTPS, upper case") << "HTTPS://localhost:{O}" << true << kPath;
        // The composed path has a double slash; Qt's HTTP layer sends it normalised.
        QTest::newRow("trailing slash") << "https://localhost:{O}/" << true << kPath;
        QTest::newRow("http is ignored") << "http://localhost:{O}" << false << kPath;
        QTest::newRow("garbage is ignored") << "not a url at all" << false << kPath;
        QTest::newRow("no scheme is ignored") << "localhost:{O}" << false << kPath;
        QTest::newRow("empty is ignored") << "" << false << kPath;
    }

    void proxyUrlSetting()
    {
        QFETCH(QString, stored);
        QFETCH(bool, overrideUsed);
        QFETCH(QByteArray, path);

        HttpsFakeServer builtIn, override;
        QVERIFY(builtIn.listen());
        QVERIFY(override.listen());
        for (HttpsFakeServer *s : {&builtIn, &override}) {
            s->setFallback([](const RecordedRequest &) {
                return FakeResponse::json(200, QByteArray(R"({"text":"ok"})"));
            });
        }
        qputenv("VOXENDO_BACKEND_URL", builtIn.baseUrlString().toUtf8());
        QSettings().setValue(WhisperService::proxyURLSettingsKey,
                             QString(stored).replace("{O}", QString::number(override.port())));

        auto nam = freshManager();
        const auto run = transcribe(m_audio, "auto", std::nullopt, kToken, 1.0, nam.get());
        QVERIFY(finished(*run));
        QVERIFY2(run->result->isSuccess(), qPrintable(run->description()));
        HttpsFakeServer &used = overrideUsed ? override : builtIn;
        HttpsFakeServer &unused = overrideUsed ? builtIn : override;
        QCOMPARE(used.requests().size(), 1);
        QCOMPARE(unused.requests().size(), 0);
        QCOMPARE(used.requests().first().path, path);
    }

    void callableFromAnotherThread()
    {
        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.enqueue("POST", kPath, FakeResponse::json(200, QByteArray(R"({"text":"from afar"})")));
        qputenv("VOXENDO_BACKEND_URL", server.baseUrlString().toUtf8());
        auto nam = freshManager();

        std::shared_ptr<Run> run;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            run = transcribe(m_audio, "auto", std::nullopt, kToken, 1.0, nam.get());
        }));
        worker->start();
        QVERIFY(worker->wait(5000));
        QVERIFY(finished(*run));
        QCOMPARE(run->calls, 1);
        QCOMPARE(run->result->text(), QString("from afar"));
        QCOMPARE(run->thread, nam->thread()); // the manager's thread, never the worker's
    }

    void managerGoneStillAnswersOnce()
    {
        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.enqueue("POST", kPath, FakeResponse::hang());
        qputenv("VOXENDO_BACKEND_URL", server.baseUrlString().toUtf8());
        auto nam = freshManager();
        const auto run = transcribe(m_audio, "auto", std::nullopt, kToken, 1.0, nam.get());
        QVERIFY(server.waitForRequests(1));
        nam.reset();
        QVERIFY(finished(*run));
        QCOMPARE(run->calls, 1);
        QCOMPARE(run->result->error()->kind(), WhisperError::Kind::networkError);
    }

    void secretsNeverLogged()
    {
        LogCapture log;
        ConsoleCapture console;
        HttpsFakeServer server;
        QVERIFY(server.listen());
        server.enqueue("POST", kPath, FakeResponse::json(200, QByteArray(R"({"text":"spoken words"})")));
        server.enqueue("POST", kPath, FakeResponse::json(401, QByteArray(R"({"error":{"message":"bad"}})")));
        server.enqueue("POST", kPath, FakeResponse::hang());
        qputenv("VOXENDO_BACKEND_URL", server.baseUrlString().toUtf8());
        qputenv("VOXENDO_OPENAI_API_BASE", server.baseUrlString().toUtf8());

        auto nam = freshManager();
        QVERIFY(finished(*transcribe(m_audio, "en", kKey, std::nullopt, 1.0, nam.get())));
        QVERIFY(finished(*transcribe(m_audio, "en", std::nullopt, kToken, 1.0, nam.get())));
        QVERIFY(finished(*transcribe(m_audio, "en", std::nullopt, kToken, 1.0, nam.get(), 300ms)));
        QCOMPARE(server.requests().size(), 3);

        for (const QString &secret : {kKey, kToken, QStringLiteral("spoken words")})
            QVERIFY2(!log.contains(secret), qPrintable(secret));
    }
};

QTEST_GUILESS_MAIN(TestWhisperService)
#include "tst_whisperservice.moc"
