// The devserver in-process on a free port with a temporary data directory, driven over real
// HTTPS by a client that trusts only the server's own CA: the configuration document, the auth
// subset with its error shapes, the transcription routes and their refusals, and a real
// recognition of spoken words.
#include "devserver/devserver.h"
#include "testclient.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace voxendo::devserver;
using namespace voxendo::devserver::test;

namespace {

const QString kPassword = QStringLiteral("hunter2-secret");
const QByteArray kGoodKey = "sk-test-accepted-0123456789";
const QByteArray kNewApi = "2024-01-01";

QJsonObject payloadOf(const QByteArray &jwt)
{
    const QByteArray part = jwt.split('.').value(1);
    return QJsonDocument::fromJson(QByteArray::fromBase64(part, QByteArray::Base64UrlEncoding)).object();
}

bool runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

class TestDevserverServer : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    QDateTime m_now = QDateTime::currentDateTimeUtc();
    std::unique_ptr<DevServer> m_server;
    std::unique_ptr<TestClient> m_client;

    DevServerOptions options(const QString &dataDir)
    {
        DevServerOptions o;
        o.port = 0;
        o.dataDir = dataDir;
        o.latestVersion = QStringLiteral("1.5.0");
        o.minVersion = QStringLiteral("1.2.0");
        o.openAiKeys = {QString::fromLatin1(kGoodKey)};
        o.openAiKeysFile = dataDir + QStringLiteral("/openai-keys.txt");
        o.pbkdf2Iterations = 1000; // the production count costs 0.4 s per hash
        o.clock = [this] { return m_now; };
        return o;
    }

    Headers auth(const Headers &extra = {}) const
    {
        Headers h{{"apikey", m_server->anonKey()}, {"Authorization", "Bearer " + m_server->anonKey()}};
        return h + extra;
    }

    Answer signUp(TestClient &client, DevServer &server, const QString &email, const Headers &extra = {})
    {
        return client.post("/auth/v1/signup",
                           QJsonDocument(QJsonObject{{"email", email}, {"password", kPassword}, {"data", QJsonObject()}})
                               .toJson(QJsonDocument::Compact),
                           Headers{{"apikey", server.anonKey()}} + extra);
    }

    Answer signIn(const QString &email, const QString &password = kPassword, const Headers &extra = {})
    {
        return m_client->post("/auth/v1/token?grant_type=password",
                              QJsonDocument(QJsonObject{{"email", email}, {"password", password}}).toJson(),
                              auth(extra));
    }

    Answer refresh(const QString &refreshToken)
    {
        return m_client->post("/auth/v1/token?grant_type=refresh_token",
                              QJsonDocument(QJsonObject{{"refresh_token", refreshToken}}).toJson(),
                              auth({{"X-Supabase-Api-Version", kNewApi}}));
    }

    Answer getUser(const QString &accessToken)
    {
        return m_client->get("/auth/v1/user", {{"apikey", m_server->anonKey()},
                                               {"Authorization", "Bearer " + accessToken.toLatin1()},
                                               {"X-Supabase-Api-Version", kNewApi}});
    }

    // A fresh user signed in once; returns the token response.
    QJsonObject newSession(const QString &email)
    {
        const Answer a = signUp(*m_client, *m_server, email);
        if (a.status != 200)
            qWarning("sign-up failed: %d %s", a.status, a.body.constData());
        return a.json();
    }

    QByteArray makeSpeech(const QString &name, const QString &text)
    {
        const QString wav = m_tmp.filePath(name + QStringLiteral(".wav"));
        const QString m4a = m_tmp.filePath(name + QStringLiteral(".m4a"));
        bool ok;
        if (text.isEmpty()) {
            ok = runTool(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-f", "lavfi", "-i",
                                                    "anullsrc=r=16000:cl=mono", "-t", "2", "-c:a", "aac", m4a});
        } else {
            ok = runTool(QStringLiteral("espeak-ng"), {"-v", "en-us+m3", "-s", "140", "-w", wav, text})
                && runTool(QStringLiteral("ffmpeg"), {"-v", "error", "-y", "-i", wav, "-ac", "1",
                                                      "-ar", "16000", "-c:a", "aac", m4a});
        }
        QFile f(m4a);
        return ok && f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_tmp.isValid());
        m_server = std::make_unique<DevServer>(options(m_tmp.filePath(QStringLiteral("data"))));
        const auto status = m_server->start();
        QVERIFY2(status.ok(), qPrintable(status.message));
        QVERIFY(m_server->port() != 0);
        m_client = std::make_unique<TestClient>(m_server->baseUrl(), m_server->caCertificatePath());
    }

    void cleanupTestCase()
    {
        // Every refusal above left the server serving.
        if (m_client)
            QCOMPARE(m_client->get("/config").status, 200);
    }

    void configDocument()
    {
        const Answer a = m_client->get("/config");
        QCOMPARE(a.error, QNetworkReply::NoError);
        QCOMPARE(a.status, 200);
        const QJsonObject config = a.json();
        QCOMPARE(config.keys(), (QStringList{"latestVersion", "minVersion", "supabaseAnonKey", "supabaseURL"}));
        QCOMPARE(config.value("supabaseURL").toString(), m_server->baseUrl().toString());
        QCOMPARE(config.value("supabaseAnonKey").toString().toLatin1(), m_server->anonKey());
        QCOMPARE(config.value("latestVersion").toString(), QStringLiteral("1.5.0"));
        QCOMPARE(config.value("minVersion").toString(), QStringLiteral("1.2.0"));
        QVERIFY(m_server->baseUrl().toString().startsWith(QLatin1String("https://127.0.0.1:")));
    }

    void untrustedClientIsRefused()
    {
        TestClient stranger(m_server->baseUrl(), QString()); // trusts only the system CAs
        QCOMPARE(stranger.get("/config").error, QNetworkReply::SslHandshakeFailedError);
    }

    void gatewayChecksTheApiKey_data()
    {
        QTest::addColumn<bool>("sendKey");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << false << QByteArray() << "No API key found in request";
        QTest::newRow("wrong") << true << QByteArray("eyJ.not.it") << "Invalid API key";
        QTest::newRow("empty") << true << QByteArray("") << "No API key found in request";
    }

    void gatewayChecksTheApiKey()
    {
        QFETCH(bool, sendKey);
        QFETCH(QByteArray, key);
        QFETCH(QString, message);
        Headers h;
        if (sendKey)
            h.append({"apikey", key});
        const Answer a = m_client->post("/auth/v1/token?grant_type=password",
                                        R"({"email":"x@example.com","password":"whatever"})", h);
        QCOMPARE(a.status, 401);
        QCOMPARE(a.json().value("message").toString(), message);
    }

    void signUpSignInAndGetUser()
    {
        const QString email = QStringLiteral("Ada@Example.com");
        const Answer up = signUp(*m_client, *m_server, email);
        QCOMPARE(up.status, 200);
        const QJsonObject session = up.json();
        // A session: the three members that tell it from a bare user.
        const QString access = session.value("access_token").toString();
        QCOMPARE(access.split(u'.').size(), 3);
        QVERIFY(!session.value("refresh_token").toString().isEmpty());
        QCOMPARE(session.value("expires_in").toInt(), 3600);
        QCOMPARE(session.value("expires_at").toInteger(), m_now.toSecsSinceEpoch() + 3600);
        QCOMPARE(session.value("token_type").toString(), QStringLiteral("bearer"));
        const QJsonObject user = session.value("user").toObject();
        QCOMPARE(user.value("email").toString(), QStringLiteral("ada@example.com"));
        QVERIFY(!QUuid::fromString(user.value("id").toString()).isNull());
        QVERIFY(user.contains("email_confirmed_at"));
        QCOMPARE(payloadOf(access.toLatin1()).value("sub").toString(), user.value("id").toString());
        QCOMPARE(payloadOf(access.toLatin1()).value("exp").toInteger(), session.value("expires_at").toInteger());

        const Answer me = getUser(access);
        QCOMPARE(me.status, 200);
        QCOMPARE(me.json().value("id"), user.value("id"));
        QCOMPARE(me.header("X-Supabase-Api-Version"), kNewApi);

        const Answer in = signIn(QStringLiteral("ada@example.com"));
        QCOMPARE(in.status, 200);
        QVERIFY(in.json().value("access_token").toString() != access); // a second session
        QCOMPARE(in.json().value("user").toObject().value("id"), user.value("id"));

        const Answer again = signUp(*m_client, *m_server, email, {{"X-Supabase-Api-Version", kNewApi}});
        QCOMPARE(again.status, 422);
        QCOMPARE(again.json(), (QJsonObject{{"code", "user_already_exists"}, {"message", "User already registered"}}));
    }

    // Both error shapes, chosen by the API-version header, for the service's common refusals.
    void authErrors_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");

        const QByteArray token = "/auth/v1/token?grant_type=password";
        QTest::newRow("wrong password") << token << QByteArray(R"({"email":"ada@example.com","password":"nope-nope"})")
                                        << 400 << "invalid_credentials" << "Invalid login credentials";
        QTest::newRow("unknown address") << token << QByteArray(R"({"email":"nobody@example.com","password":"hunter2-secret"})")
                                         << 400 << "invalid_credentials" << "Invalid login credentials";
        QTest::newRow("no address") << token << QByteArray(R"({"password":"x"})")
                                    << 400 << "validation_failed" << "missing email or phone";
        QTest::newRow("malformed JSON") << token << QByteArray(R"({"email":)")
                                        << 400 << "bad_json" << "";
        QTest::newRow("JSON not an object") << QByteArray("/auth/v1/signup") << QByteArray("[1]")
                                            << 400 << "bad_json" << "";
        QTest::newRow("weak password") << QByteArray("/auth/v1/signup") << QByteArray(R"({"email":"weak@example.com","password":"12345"})")
                                       << 422 << "weak_password" << "Password should be at least 6 characters.";
        QTest::newRow("invalid address") << QByteArray("/auth/v1/signup") << QByteArray(R"({"email":"not-an-address","password":"123456"})")
                                         << 400 << "validation_failed" << "Unable to validate email address: invalid format";
        QTest::newRow("unknown refresh token") << QByteArray("/auth/v1/token?grant_type=refresh_token")
                                               << QByteArray(R"({"refresh_token":"made-up"})")
                                               << 400 << "refresh_token_not_found" << "Invalid Refresh Token: Refresh Token Not Found";
    }

    void authErrors()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, code);
        QFETCH(QString, message);
        signUp(*m_client, *m_server, QStringLiteral("ada@example.com")); // 200, or 422 when there

        const Answer current = m_client->post(path, body, auth({{"X-Supabase-Api-Version", kNewApi}}));
        QCOMPARE(current.status, status);
        QCOMPARE(current.json().value("code").toString(), code);
        const Answer legacy = m_client->post(path, body, auth());
        QCOMPARE(legacy.status, status);
        QCOMPARE(legacy.json().value("code").toInt(), status);
        QCOMPARE(legacy.json().value("error_code").toString(), code);
        if (message.isEmpty()) {
            QVERIFY(!current.json().value("message").toString().isEmpty());
            QCOMPARE(legacy.json().value("msg"), current.json().value("message"));
        } else {
            QCOMPARE(current.json().value("message").toString(), message);
            QCOMPARE(legacy.json().value("msg").toString(), message);
        }
        if (code == QLatin1String("weak_password"))
            QCOMPARE(current.json().value("weak_password").toObject().value("reasons").toArray(), QJsonArray{"length"});
    }

    void passwordFileHoldsNoPassword()
    {
        newSession(QStringLiteral("file@example.com"));
        QFile file(m_server->usersFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("file@example.com"));
        QVERIFY(!text.contains(kPassword.toUtf8()));
        QVERIFY(!text.contains(kPassword.toUtf8().toBase64()));
        QVERIFY(text.contains("pbkdf2-sha256$1000$"));
        QCOMPARE(file.permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        // The signing secret and the private keys are the owner's alone, too.
        for (const char *name : {"secrets.json", "ca.key", "server.key"}) {
            const QFileInfo info(QDir(m_tmp.filePath("data")).filePath(QLatin1String(name)));
            QCOMPARE(info.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
        }
    }

    void refreshRotatesAndDetectsReuse()
    {
        const QJsonObject first = newSession(QStringLiteral("rotate@example.com"));
        const QString r1 = first.value("refresh_token").toString();

        const Answer next = refresh(r1);
        QCOMPARE(next.status, 200);
        const QString r2 = next.json().value("refresh_token").toString();
        const QString a2 = next.json().value("access_token").toString();
        QVERIFY(!r2.isEmpty() && r2 != r1);
        QCOMPARE(getUser(a2).status, 200);

        const Answer reused = refresh(r1);
        QCOMPARE(reused.status, 400);
        QCOMPARE(reused.json(), (QJsonObject{{"code", "refresh_token_already_used"},
                                             {"message", "Invalid Refresh Token: Already Used"}}));
        // Reuse ends the session: its newest tokens die with it.
        QCOMPARE(refresh(r2).json().value("code").toString(), QStringLiteral("refresh_token_not_found"));
        QCOMPARE(getUser(a2).json().value("code").toString(), QStringLiteral("session_not_found"));
    }

    void expiredAccessTokenIsRefused()
    {
        const QJsonObject s = newSession(QStringLiteral("expiry@example.com"));
        m_now = m_now.addSecs(3601);
        const Answer expired = getUser(s.value("access_token").toString());
        QCOMPARE(expired.status, 403);
        QCOMPARE(expired.json().value("code").toString(), QStringLiteral("bad_jwt"));
        // The refresh token outlives it.
        const Answer renewed = refresh(s.value("refresh_token").toString());
        QCOMPARE(renewed.status, 200);
        QCOMPARE(getUser(renewed.json().value("access_token").toString()).status, 200);
    }

    void signOutEndsEverySessionOfTheUser()
    {
        const QString email = QStringLiteral("leave@example.com");
        const QJsonObject a = newSession(email);
        const QJsonObject b = signIn(email).json();
        const QByteArray bearerA = "Bearer " + a.value("access_token").toString().toLatin1();

        QCOMPARE(m_client->post("/auth/v1/logout?scope=bogus", QByteArray(),
                                {{"apikey", m_server->anonKey()}, {"Authorization", bearerA}}).status, 400);
        const Answer noBearer = m_client->post("/auth/v1/logout?scope=global", QByteArray(),
                                               {{"apikey", m_server->anonKey()}, {"X-Supabase-Api-Version", kNewApi}});
        QCOMPARE(noBearer.status, 401);
        QCOMPARE(noBearer.json().value("code").toString(), QStringLiteral("no_authorization"));

        const Answer out = m_client->post("/auth/v1/logout?scope=global", QByteArray(),
                                          {{"apikey", m_server->anonKey()}, {"Authorization", bearerA}});
        QCOMPARE(out.status, 204);
        QVERIFY(out.body.isEmpty());
        QCOMPARE(getUser(b.value("access_token").toString()).json().value("code").toString(),
                 QStringLiteral("session_not_found"));
        QCOMPARE(refresh(b.value("refresh_token").toString()).json().value("code").toString(),
                 QStringLiteral("refresh_token_not_found"));
        QCOMPARE(signIn(email).status, 200); // the account itself stays
    }

    void transcriptionRefusals_data()
    {
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<QByteArray>("appVersion");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("messageContains");

        const QByteArray multipart = "multipart/form-data; boundary=XyZ";
        const QByteArray notAudio = multipartUpload("XyZ", "{\"this\": \"is not audio\"}");
        const QByteArray token = "Bearer " + newSession(QStringLiteral("upload@example.com"))
                                                 .value("access_token").toString().toLatin1();
        const QByteArray key = "Bearer " + kGoodKey;

        QTest::newRow("no bearer") << QByteArray() << QByteArray("1.2.0") << multipart << notAudio << 401 << "didn't provide";
        QTest::newRow("bad access token") << QByteArray("Bearer eyJ.e30.x") << QByteArray("1.2.0") << multipart << notAudio << 401 << "invalid JWT";
        QTest::newRow("anon key as bearer") << "Bearer " + m_server->anonKey() << QByteArray("1.2.0") << multipart << notAudio << 401 << "sub claim";
        QTest::newRow("unknown sk key") << QByteArray("Bearer sk-not-listed-000000") << QByteArray() << multipart << notAudio << 401 << "Incorrect API key provided: sk-no";
        QTest::newRow("app below minVersion") << token << QByteArray("1.1.9") << multipart << notAudio << 426 << "1.2.0";
        QTest::newRow("no app version") << token << QByteArray() << multipart << notAudio << 426 << "update";
        QTest::newRow("backend, not audio") << token << QByteArray("1.2.0") << multipart << notAudio << 400 << "Invalid file format";
        // The key route has no version gate.
        QTest::newRow("own key, not audio") << key << QByteArray("0.0.1") << multipart << notAudio << 400 << "Invalid file format";
        QTest::newRow("not multipart") << key << QByteArray() << QByteArray("application/json") << QByteArray("{}") << 400 << "multipart/form-data";
        QTest::newRow("no file part") << key << QByteArray() << multipart
                                      << QByteArray("--XyZ\r\nContent-Disposition: form-data; name=\"model\"\r\n\r\nwhisper-1\r\n--XyZ--\r\n")
                                      << 400 << "'file'";
        QTest::newRow("broken multipart") << key << QByteArray() << multipart << notAudio.left(notAudio.size() - 10) << 400 << "closing boundary";
    }

    void transcriptionRefusals()
    {
        QFETCH(QByteArray, authorization);
        QFETCH(QByteArray, appVersion);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, messageContains);

        Headers h{{"Content-Type", contentType}};
        if (!authorization.isEmpty())
            h.append({"Authorization", authorization});
        if (!appVersion.isEmpty())
            h.append({"X-App-Version", appVersion});
        const Answer a = m_client->post("/v1/audio/transcriptions", body, h);
        QCOMPARE(a.status, status);
        const QJsonObject error = a.json().value("error").toObject();
        QVERIFY2(error.value("message").toString().contains(messageContains), a.body.constData());
        QVERIFY(error.contains("type") && error.contains("param") && error.contains("code"));
    }

    void uploadSizeLimit()
    {
        const Headers h{{"Authorization", "Bearer " + kGoodKey},
                        {"Content-Type", "multipart/form-data; boundary=XyZ"}};
        const qint64 limit = 26'214'400;
        // One byte over: refused from the declared length, before the body is processed.
        const Answer over = m_client->post("/v1/audio/transcriptions", QByteArray(limit + 1, 'a'), h, 60000);
        QCOMPARE(over.status, 413);
        QVERIFY(over.json().value("error").toObject().value("message").toString().contains("26214400"));
        // Exactly at the limit: read and judged on its content.
        QByteArray atLimit = multipartUpload("XyZ", QByteArray());
        atLimit.insert(atLimit.indexOf("\r\n\r\n") + 4, QByteArray(limit - atLimit.size(), 'a'));
        QCOMPARE(atLimit.size(), limit);
        QCOMPARE(m_client->post("/v1/audio/transcriptions", atLimit, h, 60000).status, 400);
        // Other endpoints take small bodies only.
        QCOMPARE(m_client->post("/auth/v1/signup", QByteArray(2 << 20, ' '), {{"apikey", m_server->anonKey()}}).status, 413);
    }

    // What curl does with large uploads: it waits for "100 Continue" before sending the body,
    // so a refusal must come from the head alone.
    void expectContinue()
    {
        QSslSocket socket;
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(QSslCertificate::fromPath(m_server->caCertificatePath()));
        socket.setSslConfiguration(ssl);
        // The server runs on this thread: wait on the event loop, never block in the socket.
        QSignalSpy encrypted(&socket, &QSslSocket::encrypted);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_server->port());
        QVERIFY(encrypted.wait(10000));
        // One whole answer: the head, then as many body bytes as it announces.
        QByteArray pending;
        auto readAnswer = [&socket, &pending] {
            QSignalSpy ready(&socket, &QIODevice::readyRead);
            for (;;) {
                pending += socket.readAll();
                const qsizetype headEnd = pending.indexOf("\r\n\r\n");
                if (headEnd >= 0) {
                    const QByteArray head = pending.left(headEnd).toLower();
                    const qsizetype at = head.indexOf("content-length: ");
                    const qsizetype length = at < 0 ? 0 : head.mid(at + 16).split('\r').value(0).toLongLong();
                    if (pending.size() >= headEnd + 4 + length) {
                        const QByteArray answer = pending.left(headEnd + 4 + length);
                        pending.remove(0, answer.size());
                        return answer;
                    }
                }
                if (!ready.wait(10000))
                    return pending;
            }
        };
        const QByteArray head = "POST /v1/audio/transcriptions HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "Authorization: Bearer " + kGoodKey + "\r\n"
                                "Content-Type: multipart/form-data; boundary=XyZ\r\n"
                                "Expect: 100-continue\r\n";
        const QByteArray body = multipartUpload("XyZ", "not audio");
        socket.write(head + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n");
        QVERIFY(readAnswer().startsWith("HTTP/1.1 100 Continue\r\n\r\n"));
        socket.write(body);
        const QByteArray answer = readAnswer();
        QVERIFY2(answer.startsWith("HTTP/1.1 400 "), answer.constData());

        // Same connection, a body over the limit: refused before a byte of it is sent.
        socket.write(head + "Content-Length: 26214401\r\n\r\n");
        const QByteArray refused = readAnswer();
        QVERIFY2(refused.startsWith("HTTP/1.1 413 "), refused.constData());
        QVERIFY(refused.contains("Connection: close"));
    }

    void modelsChecksTheKey_data()
    {
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<int>("status");
        QTest::newRow("listed key") << "Bearer " + kGoodKey << 200;
        QTest::newRow("key from the keys file") << QByteArray("Bearer sk-from-the-file-42") << 200;
        QTest::newRow("unlisted key") << QByteArray("Bearer sk-unlisted-key-9999") << 401;
        QTest::newRow("not an sk key") << QByteArray("Bearer hello") << 401;
        QTest::newRow("none") << QByteArray() << 401;
    }

    void modelsChecksTheKey()
    {
        QFETCH(QByteArray, authorization);
        QFETCH(int, status);
        QFile keys(m_tmp.filePath("data/openai-keys.txt"));
        QVERIFY(keys.open(QIODevice::WriteOnly));
        keys.write("# accepted keys\nsk-from-the-file-42\n");
        keys.close();

        Headers h;
        if (!authorization.isEmpty())
            h.append({"Authorization", authorization});
        const Answer a = m_client->get("/v1/models", h);
        QCOMPARE(a.status, status);
        if (status == 200) {
            QCOMPARE(a.json().value("object").toString(), QStringLiteral("list"));
        } else {
            QVERIFY(a.json().value("error").toObject().contains("message"));
            QVERIFY(!a.body.contains("sk-unlisted-key-9999")); // a refused key is not echoed whole
        }
    }

    void recognisesSpeech()
    {
        for (const char *tool : {"espeak-ng", "ffmpeg"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty()) {
                const QByteArray why = QByteArray(tool) + " is needed to make speech (scripts/deps.sh test)";
                if (qEnvironmentVariable("CI") == QLatin1String("true"))
                    QFAIL(why.constData());
                QSKIP(why.constData());
            }
        }
        const QByteArray speech = makeSpeech(QStringLiteral("hello"), QStringLiteral("hello world"));
        const QByteArray silence = makeSpeech(QStringLiteral("silence"), QString());
        QVERIFY(!speech.isEmpty() && !silence.isEmpty());
        const QByteArray token = newSession(QStringLiteral("speaker@example.com")).value("access_token").toString().toLatin1();
        const Headers backend{{"Authorization", "Bearer " + token}, {"X-App-Version", "1.2.0"},
                              {"Content-Type", "multipart/form-data; boundary=B0"}};
        const Headers ownKey{{"Authorization", "Bearer " + kGoodKey},
                             {"Content-Type", "multipart/form-data; boundary=B0"}};

        // Recognition runs off the server thread: a request sent after the upload is answered
        // while the upload is still being recognised.
        QNetworkReply *upload = m_client->start("POST", "/v1/audio/transcriptions",
                                                multipartUpload("B0", speech, "en"), backend);
        QNetworkReply *config = m_client->start("GET", "/config", QByteArray(), {});
        bool uploadDone = false;
        bool configFirst = false;
        connect(upload, &QNetworkReply::finished, this, [&] { uploadDone = true; });
        connect(config, &QNetworkReply::finished, this, [&] { configFirst = !uploadDone; });
        const Answer heard = TestClient::wait(upload, 60000);
        QCOMPARE(TestClient::wait(config).status, 200);
        QVERIFY(configFirst);
        QCOMPARE(heard.status, 200);
        QVERIFY2(heard.json().value("text").toString().contains("hello world"), heard.body.constData());

        const Answer viaKey = m_client->post("/v1/audio/transcriptions", multipartUpload("B0", speech), ownKey, 60000);
        QCOMPARE(viaKey.status, 200);
        QVERIFY2(viaKey.json().value("text").toString().contains("hello world"), viaKey.body.constData());

        const Answer quiet = m_client->post("/v1/audio/transcriptions", multipartUpload("B0", silence), ownKey, 60000);
        QCOMPARE(quiet.status, 200);
        QVERIFY(quiet.json().value("text").isString());
        QVERIFY(!quiet.json().value("text").toString().contains("hello world"));
    }

    void confirmationFlow()
    {
        QTemporaryDir dir;
        DevServerOptions o = options(dir.filePath(QStringLiteral("data")));
        o.confirmEmail = true;
        DevServer server(o);
        QVERIFY(server.start().ok());
        TestClient client(server.baseUrl(), server.caCertificatePath());
        const Headers key{{"apikey", server.anonKey()}, {"X-Supabase-Api-Version", kNewApi}};
        const QString email = QStringLiteral("wait@example.com");
        const QByteArray credentials = QJsonDocument(QJsonObject{{"email", email}, {"password", kPassword}}).toJson();

        const Answer up = signUp(client, server, email);
        QCOMPARE(up.status, 200);
        // A bare user: no session, not confirmed yet.
        const QJsonObject user = up.json();
        QVERIFY(!user.contains("access_token") && !user.contains("refresh_token"));
        QCOMPARE(user.value("email").toString(), email);
        QVERIFY(user.contains("confirmation_sent_at"));
        QVERIFY(!user.contains("email_confirmed_at"));

        const Answer early = client.post("/auth/v1/token?grant_type=password", credentials, key);
        QCOMPARE(early.status, 400);
        QCOMPARE(early.json(), (QJsonObject{{"code", "email_not_confirmed"}, {"message", "Email not confirmed"}}));

        // The `confirm` command edits the data directory while the server runs.
        QVERIFY(DevServer::confirmUser(o.dataDir, QStringLiteral("WAIT@example.com")).ok());
        QVERIFY(!DevServer::confirmUser(o.dataDir, QStringLiteral("nobody@example.com")).ok());
        const Answer in = client.post("/auth/v1/token?grant_type=password", credentials, key);
        QCOMPARE(in.status, 200);
        QVERIFY(in.json().value("user").toObject().contains("email_confirmed_at"));

        // Signing up a confirmed address again gives a stand-in user, no session, no hint.
        const Answer decoy = signUp(client, server, email);
        QCOMPARE(decoy.status, 200);
        QVERIFY(!decoy.json().contains("access_token"));
        QCOMPARE(decoy.json().value("identities").toArray().size(), 0);
        QVERIFY(decoy.json().value("id") != user.value("id"));
    }

    void stateSurvivesARestart()
    {
        const QString dataDir = m_tmp.filePath(QStringLiteral("data"));
        QFile ca(m_server->caCertificatePath());
        QVERIFY(ca.open(QIODevice::ReadOnly));
        const QByteArray caBytes = ca.readAll();
        const QJsonObject s = newSession(QStringLiteral("persist@example.com"));

        DevServer again(options(dataDir)); // a second process on the same directory
        QVERIFY(again.start().ok());
        QCOMPARE(again.anonKey(), m_server->anonKey());
        QFile ca2(again.caCertificatePath());
        QVERIFY(ca2.open(QIODevice::ReadOnly));
        QCOMPARE(ca2.readAll(), caBytes); // clients that trust ca.crt keep trusting
        TestClient client(again.baseUrl(), again.caCertificatePath());
        const Answer me = client.get("/auth/v1/user", {{"apikey", again.anonKey()},
                                                       {"Authorization", "Bearer " + s.value("access_token").toString().toLatin1()}});
        QCOMPARE(me.status, 200);
    }
};

QTEST_GUILESS_MAIN(TestDevserverServer)
#include "tst_devserver_server.moc"
