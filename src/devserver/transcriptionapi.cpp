#include "devserver/transcriptionapi.h"

#include "devserver/async.h"
#include "devserver/audiodecoder.h"
#include "devserver/authservice.h"
#include "devserver/multipart.h"
#include "devserver/passwordhash.h"
#include "devserver/speechrecognizer.h"
#include "devserver/versions.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

namespace voxendo::devserver {

namespace {

QByteArray bearerToken(const HttpRequest &request)
{
    const QByteArray value = request.header("Authorization").trimmed();
    if (value.size() < 7 || value.left(7).toLower() != "bearer ")
        return {};
    return value.mid(7).trimmed();
}

// "sk-abc...wxyz" with the middle hidden, as OpenAI quotes a rejected key.
QString maskedKey(const QByteArray &key)
{
    if (key.size() <= 8)
        return QStringLiteral("sk-***");
    return QString::fromUtf8(key.left(5)) + QStringLiteral("*").repeated(qMin<qsizetype>(key.size() - 9, 40))
        + QString::fromUtf8(key.right(4));
}

struct Outcome
{
    int status = 200;
    QString message;
    QString text;
    double seconds = 0;
};

Outcome transcribe(SpeechRecognizer *recognizer, const QByteArray &audio, double maxSeconds)
{
    const DecodedAudio decoded = decodeAudio(audio, maxSeconds);
    if (!decoded.ok())
        return {400, decoded.message, {}, 0};
    const auto text = recognizer->recognize(decoded.samples);
    if (!text.ok())
        return {500, text.status.message, {}, decoded.seconds()};
    return {200, {}, *text.value, decoded.seconds()};
}

} // namespace

TranscriptionApi::TranscriptionApi(const AuthService *auth, SpeechRecognizer *recognizer,
                                   TranscriptionSettings settings, QThreadPool *pool,
                                   QObject *parent)
    : QObject(parent)
    , m_auth(auth)
    , m_recognizer(recognizer)
    , m_settings(std::move(settings))
    , m_pool(pool)
{
}

HttpResponse TranscriptionApi::error(int status, const QString &message, const QString &type,
                                     const QJsonValue &code, const QJsonValue &param)
{
    return HttpResponse::json(status, {{"error", QJsonObject{{"message", message},
                                                             {"type", type},
                                                             {"param", param},
                                                             {"code", code}}}});
}

bool TranscriptionApi::isAcceptedKey(const QByteArray &key) const
{
    if (!key.startsWith("sk-"))
        return false;
    QStringList keys = m_settings.openAiKeys;
    if (!m_settings.openAiKeysFile.isEmpty()) {
        QFile file(m_settings.openAiKeysFile);
        if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            for (const QByteArray &line : file.readAll().split('\n')) {
                const QByteArray k = line.trimmed();
                if (!k.isEmpty() && !k.startsWith('#'))
                    keys.append(QString::fromUtf8(k));
            }
        }
    }
    bool accepted = false;
    for (const QString &k : keys) // no early exit: every key is compared in full
        accepted |= PasswordHash::constantTimeEquals(k.toUtf8(), key);
    return accepted;
}

std::optional<HttpResponse> TranscriptionApi::checkBackendCaller(const HttpRequest &request,
                                                                 const QByteArray &token) const
{
    if (token.isEmpty()) {
        return error(401, QStringLiteral("You didn't provide an API key. You need to provide your API "
                                         "key in an Authorization header using Bearer auth (i.e. "
                                         "Authorization: Bearer YOUR_KEY)."),
                     QStringLiteral("invalid_request_error"));
    }
    const AuthService::BearerCheck who = m_auth->checkBearer("Bearer " + token);
    if (!who.ok())
        return error(401, who.message, QStringLiteral("invalid_request_error"), QString::fromLatin1(who.code));
    if (!m_settings.minVersion.isEmpty()) {
        QString version = QString::fromUtf8(request.header("X-App-Version")).trimmed();
        if (version.isEmpty())
            version = QStringLiteral("0.0.0"); // what the app sends when it knows no version
        if (compareVersions(version, m_settings.minVersion) < 0) {
            return error(426, QStringLiteral("Voxendo %1 is no longer supported; please update to %2 or later.")
                                  .arg(version, m_settings.minVersion),
                         QStringLiteral("invalid_request_error"), QStringLiteral("update_required"));
        }
    }
    return std::nullopt;
}

void TranscriptionApi::handleModels(const HttpRequest &request, HttpsServer::Respond respond)
{
    if (request.method != "GET") {
        respond(error(405, QStringLiteral("Method not allowed"), QStringLiteral("invalid_request_error")));
        return;
    }
    const QByteArray key = bearerToken(request);
    if (key.isEmpty()) {
        respond(error(401, QStringLiteral("You didn't provide an API key. You need to provide your API "
                                          "key in an Authorization header using Bearer auth (i.e. "
                                          "Authorization: Bearer YOUR_KEY)."),
                      QStringLiteral("invalid_request_error")));
        return;
    }
    if (!isAcceptedKey(key)) {
        respond(error(401, QStringLiteral("Incorrect API key provided: %1.").arg(maskedKey(key)),
                      QStringLiteral("invalid_request_error"), QStringLiteral("invalid_api_key")));
        return;
    }
    const QJsonObject model{{"id", "whisper-1"}, {"object", "model"}, {"created", 1677532384},
                            {"owned_by", "openai-internal"}};
    respond(HttpResponse::json(200, {{"object", "list"}, {"data", QJsonArray{model}}}));
}

void TranscriptionApi::handleTranscription(const HttpRequest &request, HttpsServer::Respond respond)
{
    if (request.method != "POST") {
        respond(error(405, QStringLiteral("Method not allowed"), QStringLiteral("invalid_request_error")));
        return;
    }
    const QByteArray token = bearerToken(request);
    const bool ownKey = token.startsWith("sk-");
    if (ownKey) {
        if (!isAcceptedKey(token)) {
            respond(error(401, QStringLiteral("Incorrect API key provided: %1.").arg(maskedKey(token)),
                          QStringLiteral("invalid_request_error"), QStringLiteral("invalid_api_key")));
            return;
        }
    } else if (auto refused = checkBackendCaller(request, token)) {
        respond(*refused);
        return;
    }

    const QByteArray contentType = request.header("Content-Type");
    if (multipartBoundary(contentType).isEmpty()) {
        respond(error(400, QStringLiteral("Invalid Content-Type header (%1), expected multipart/form-data.")
                               .arg(QString::fromUtf8(contentType.isEmpty() ? "none" : contentType)),
                      QStringLiteral("invalid_request_error")));
        return;
    }
    const auto form = parseFormData(contentType, request.body);
    if (!form.ok()) {
        respond(error(400, form.status.message, QStringLiteral("invalid_request_error")));
        return;
    }
    const FormPart *file = form.value->field("file");
    if (!file) {
        respond(error(400, QStringLiteral("Missing required parameter: 'file'."),
                      QStringLiteral("invalid_request_error"), QJsonValue(), QStringLiteral("file")));
        return;
    }
    if (!form.value->field("model")) {
        respond(error(400, QStringLiteral("Missing required parameter: 'model'."),
                      QStringLiteral("invalid_request_error"), QJsonValue(), QStringLiteral("model")));
        return;
    }
    const FormPart *formatPart = form.value->field("response_format");
    const QByteArray format = formatPart ? formatPart->data.trimmed() : QByteArray("json");
    if (format != "json" && format != "text") {
        respond(error(400, QStringLiteral("This server answers response_format 'json' or 'text' only."),
                      QStringLiteral("invalid_request_error"), QJsonValue(),
                      QStringLiteral("response_format")));
        return;
    }

    const QByteArray audio = file->data;
    SpeechRecognizer *recognizer = m_recognizer;
    const double maxSeconds = m_settings.maxAudioSeconds;
    const QString route = ownKey ? QStringLiteral("openai") : QStringLiteral("backend");
    QElapsedTimer timer;
    timer.start();
    whenFinished(this, QtConcurrent::run(m_pool, [recognizer, audio, maxSeconds] {
                     return transcribe(recognizer, audio, maxSeconds);
                 }),
                 [this, respond, format, route, timer](QFuture<Outcome> done) {
        if (done.resultCount() == 0) {
            respond(error(503, QStringLiteral("Server is shutting down"), QStringLiteral("server_error")));
            return;
        }
        const Outcome outcome = done.result();
        if (outcome.status != 200) {
            respond(error(outcome.status, outcome.message,
                          outcome.status >= 500 ? QStringLiteral("server_error")
                                                : QStringLiteral("invalid_request_error")));
            return;
        }
        Q_EMIT transcribed(route, outcome.seconds, timer.elapsed(), outcome.text.size());
        if (format == "text")
            respond(HttpResponse::text(200, outcome.text.toUtf8() + '\n'));
        else
            respond(HttpResponse::json(200, {{"text", outcome.text}}));
    });
}

} // namespace voxendo::devserver
