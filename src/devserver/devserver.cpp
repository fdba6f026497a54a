#include "devserver/devserver.h"

#include "devserver/authservice.h"
#include "devserver/certificates.h"
#include "devserver/httpsserver.h"
#include "devserver/speechrecognizer.h"
#include "devserver/tokensigner.h"
#include "devserver/transcriptionapi.h"
#include "devserver/userstore.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QtConcurrent/QtConcurrentRun>

#include <sys/stat.h>

namespace voxendo::devserver {

namespace {

constexpr qint64 kUploadLimit = 26'214'400; // OpenAI's request limit, 25 MiB
constexpr qint64 kOtherBodyLimit = 1 << 20;
const QByteArray kTranscriptionPath = "/v1/audio/transcriptions";

QString usersFile(const QString &dataDir) { return dataDir + QStringLiteral("/users.json"); }

} // namespace

DevServer::DevServer(DevServerOptions options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    // Password hashing and recognition: one job per core keeps the server thread free.
    m_workers.setMaxThreadCount(qMax(1, QThread::idealThreadCount()));
}

DevServer::~DevServer()
{
    // Jobs hold pointers to the recogniser and the auth service: let them end first.
    m_workers.clear();
    m_workers.waitForDone();
    delete m_server;
    delete m_transcription;
    delete m_auth;
}

QUrl DevServer::baseUrl() const
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port());
    return url;
}

quint16 DevServer::port() const
{
    return m_server ? m_server->port() : 0;
}

QString DevServer::caCertificatePath() const
{
    return m_options.dataDir + QStringLiteral("/ca.crt");
}

QString DevServer::usersFilePath() const
{
    return usersFile(m_options.dataDir);
}

platform::Status DevServer::prepareDataDir()
{
    QDir dir(m_options.dataDir);
    if (!dir.exists()) {
        if (!QDir().mkpath(m_options.dataDir))
            return platform::Status::failure(1, QStringLiteral("cannot create %1").arg(m_options.dataDir));
        // Keys and password hashes live here.
        ::chmod(QFile::encodeName(m_options.dataDir).constData(), 0700);
    }
    m_options.dataDir = dir.absolutePath();
    return platform::Status::success();
}

platform::Status DevServer::loadSecrets()
{
    // The token-signing secret and the anon key, made once and kept so that sessions and the
    // key the app fetched survive a restart.
    const QString path = m_options.dataDir + QStringLiteral("/secrets.json");
    QFile file(path);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly))
            return platform::Status::failure(1, QStringLiteral("cannot read %1").arg(path));
        const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
        m_jwtSecret = QByteArray::fromBase64(o.value("jwt_secret").toString().toLatin1());
        m_anonKey = o.value("anon_key").toString().toLatin1();
        if (m_jwtSecret.size() < 32 || m_anonKey.isEmpty())
            return platform::Status::failure(2, QStringLiteral("%1 is damaged; delete it to make new keys "
                                                               "(signed-in sessions end)").arg(path));
        m_signer = std::make_unique<TokenSigner>(m_jwtSecret);
        return platform::Status::success();
    }
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    m_jwtSecret = QByteArray(reinterpret_cast<const char *>(words), sizeof words);
    m_signer = std::make_unique<TokenSigner>(m_jwtSecret);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    m_anonKey = m_signer->sign({{"iss", "voxendo-devserver"}, {"role", "anon"}, {"iat", now},
                                {"exp", now + 10LL * 365 * 24 * 3600}});
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return platform::Status::failure(3, QStringLiteral("cannot write %1").arg(path));
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    out.write(QJsonDocument(QJsonObject{{"jwt_secret", QString::fromLatin1(m_jwtSecret.toBase64())},
                                        {"anon_key", QString::fromLatin1(m_anonKey)}})
                  .toJson());
    if (!out.commit())
        return platform::Status::failure(3, QStringLiteral("cannot write %1").arg(path));
    return platform::Status::success();
}

platform::Status DevServer::start()
{
    if (m_server)
        return platform::Status::failure(1, QStringLiteral("already started"));
    if (auto s = prepareDataDir(); !s.ok())
        return s;
    m_certificates = std::make_unique<Certificates>(m_options.dataDir);
    const auto tls = m_certificates->ensure();
    if (!tls.ok())
        return tls.status;
    if (!m_certificates->whatWasMade().isEmpty())
        m_startupNotes.append(QStringLiteral("TLS: %1 in %2").arg(m_certificates->whatWasMade(), m_options.dataDir));
    if (auto s = loadSecrets(); !s.ok())
        return s;
    m_store = std::make_unique<UserStore>(usersFile(m_options.dataDir));
    if (auto s = m_store->load(); !s.ok())
        return s;

    m_server = new HttpsServer;
    m_server->setTlsConfiguration(*tls.value);
    if (auto s = m_server->listen(QHostAddress::LocalHost, m_options.port); !s.ok()) {
        delete m_server;
        m_server = nullptr;
        return platform::Status::failure(s.code, QStringLiteral("cannot listen on 127.0.0.1:%1: %2")
                                                     .arg(m_options.port).arg(s.message));
    }

    AuthSettings auth;
    auth.confirmEmail = m_options.confirmEmail;
    auth.autoConfirm = m_options.autoConfirm;
    auth.expiresInSeconds = m_options.expiresInSeconds;
    auth.pbkdf2Iterations = m_options.pbkdf2Iterations;
    auth.issuer = baseUrl().toString() + QStringLiteral("/auth/v1");
    m_auth = new AuthService(m_store.get(), m_signer.get(), m_anonKey, auth, &m_workers, m_options.clock);
    connect(m_auth, &AuthService::confirmationPending, this, [this](const QString &email) {
        Q_EMIT notice(QStringLiteral("Sign-up of %1 waits for confirmation: voxendo-devserver confirm %1 --data-dir %2")
                          .arg(email, m_options.dataDir));
    });

    m_recognizer = std::make_unique<SpeechRecognizer>(
        m_options.modelDir.isEmpty() ? defaultModelDir() : m_options.modelDir);
    if (auto s = m_recognizer->checkModel(); !s.ok())
        m_startupNotes.append(QStringLiteral("Transcription will fail: %1 (Debian package: pocketsphinx-en-us)").arg(s.message));
    else // load the model now so the first transcription is not the slow one
        (void)QtConcurrent::run(&m_workers, [r = m_recognizer.get()] { r->warmUp(); });

    TranscriptionSettings transcription;
    transcription.minVersion = m_options.minVersion;
    transcription.openAiKeys = m_options.openAiKeys;
    transcription.openAiKeysFile = m_options.openAiKeysFile;
    transcription.maxAudioSeconds = m_options.maxAudioSeconds;
    m_transcription = new TranscriptionApi(m_auth, m_recognizer.get(), transcription, &m_workers);
    connect(m_transcription, &TranscriptionApi::transcribed, this,
            [this](const QString &route, double seconds, qint64 ms, qsizetype length) {
                Q_EMIT accessLog(QStringLiteral("transcribed %1 s of audio (%2 route) in %3 ms: %4 characters")
                                     .arg(seconds, 0, 'f', 1).arg(route).arg(ms).arg(length));
            });

    m_server->setBodyLimit([](const HttpRequest &head) {
        return head.path == kTranscriptionPath ? kUploadLimit : kOtherBodyLimit;
    });
    m_server->setErrorResponder([](int status, const QByteArray &message, const HttpRequest *head) {
        const bool openAiPath = head && head->path.startsWith("/v1/");
        if (status == 413 && head && head->path == kTranscriptionPath) {
            return TranscriptionApi::error(413, QStringLiteral("Maximum content size limit (%1) exceeded (%2 bytes read)")
                                                    .arg(kUploadLimit)
                                                    .arg(QString::fromLatin1(head->header("Content-Length"))),
                                           QStringLiteral("server_error"));
        }
        if (openAiPath)
            return TranscriptionApi::error(status, QString::fromUtf8(message), QStringLiteral("invalid_request_error"));
        return HttpResponse::json(status, {{"message", QString::fromUtf8(message)}});
    });
    m_server->setHandler([this](const HttpRequest &request, HttpsServer::Respond respond) {
        handle(request, std::move(respond));
    });
    connect(m_server, &HttpsServer::requestFinished, this,
            [this](const QByteArray &method, const QByteArray &path, int status, qint64 ms) {
                // Paths only: queries may carry the API key.
                Q_EMIT accessLog(QStringLiteral("%1 %2 %3 %4 ms")
                                     .arg(QString::fromLatin1(method.isEmpty() ? "-" : method),
                                          QString::fromUtf8(path.isEmpty() ? "-" : path))
                                     .arg(status)
                                     .arg(ms));
            });
    if (m_options.trace) {
        connect(m_server, &HttpsServer::requestTimed, this,
                [this](const QByteArray &method, const QByteArray &path, int status, int sequence,
                       qint64 connectedUs, qint64 firstByteUs, qint64 receivedUs, qint64 answeredUs) {
                    Q_EMIT traceLine(QStringLiteral("trace %1 %2 %3 request=%4 connected=%5 first-byte=%6 received=%7 answered=%8")
                                         .arg(QString::fromLatin1(method.isEmpty() ? "-" : method),
                                              QString::fromUtf8(path.isEmpty() ? "-" : path))
                                         .arg(status)
                                         .arg(sequence)
                                         .arg(connectedUs)
                                         .arg(firstByteUs)
                                         .arg(receivedUs)
                                         .arg(answeredUs));
                });
    }
    return platform::Status::success();
}

void DevServer::handle(const HttpRequest &request, HttpsServer::Respond respond)
{
    const QByteArray &path = request.path;
    if (path == "/config") {
        if (request.method != "GET") {
            respond(HttpResponse::json(405, {{"message", "Method not allowed"}}).withHeader("Allow", "GET"));
            return;
        }
        auto orNull = [](const QString &s) { return s.isEmpty() ? QJsonValue() : QJsonValue(s); };
        respond(HttpResponse::json(200, {{"supabaseURL", baseUrl().toString()},
                                         {"supabaseAnonKey", QString::fromLatin1(m_anonKey)},
                                         {"latestVersion", orNull(m_options.latestVersion)},
                                         {"minVersion", orNull(m_options.minVersion)}}));
    } else if (path == "/auth/v1" || path.startsWith("/auth/v1/")) {
        m_auth->handle(request, std::move(respond));
    } else if (path == kTranscriptionPath) {
        m_transcription->handleTranscription(request, std::move(respond));
    } else if (path == "/v1/models") {
        m_transcription->handleModels(request, std::move(respond));
    } else if (path == "/") {
        respond(HttpResponse::text(200, "voxendo-devserver: a development and demo stand-in for the "
                                        "Voxendo services. Not for production.\n"));
    } else {
        respond(HttpResponse::json(404, {{"message", "Not found"}}));
    }
}

platform::Status DevServer::confirmUser(const QString &dataDir, const QString &email)
{
    UserStore store(usersFile(dataDir));
    if (auto s = store.load(); !s.ok())
        return s;
    const UserRecord *user = store.userByEmail(email.trimmed());
    if (!user)
        return platform::Status::failure(1, QStringLiteral("no account with the address %1 in %2")
                                                .arg(email, store.filePath()));
    if (user->isConfirmed())
        return platform::Status::success();
    UserRecord *u = store.mutableUser(user->id);
    u->emailConfirmedAt = u->updatedAt = QDateTime::currentDateTimeUtc();
    return store.save();
}

} // namespace voxendo::devserver
