#pragma once

#include "devserver/httpsserver.h"

#include <QObject>
#include <QStringList>

class QThreadPool;

namespace voxendo::devserver {

class AuthService;
class SpeechRecognizer;

struct TranscriptionSettings
{
    QString minVersion;          // empty: every app version is served
    QStringList openAiKeys;      // "own keys" accepted on the OpenAI route
    QString openAiKeysFile;      // more keys, one a line; read at each check, may be absent
    double maxAudioSeconds = 600;
};

// POST /v1/audio/transcriptions and GET /v1/models. The bearer token picks the route: a key
// starting with "sk-" is the OpenAI stand-in (checked against the accepted keys), anything
// else is the backend (a valid access token of the auth service, and an X-App-Version no lower
// than the minimum). Decoding and recognition run on `pool`. Errors use OpenAI's envelope
// {"error":{"message","type","param","code"}}. Main thread only.
class TranscriptionApi : public QObject
{
    Q_OBJECT
public:
    TranscriptionApi(const AuthService *auth, SpeechRecognizer *recognizer,
                     TranscriptionSettings settings, QThreadPool *pool, QObject *parent = nullptr);

    void handleTranscription(const HttpRequest &request, HttpsServer::Respond respond);
    void handleModels(const HttpRequest &request, HttpsServer::Respond respond);

    static HttpResponse error(int status, const QString &message, const QString &type,
                              const QJsonValue &code = QJsonValue(),
                              const QJsonValue &param = QJsonValue());
    bool isAcceptedKey(const QByteArray &key) const;

Q_SIGNALS:
    // For the access log: lengths and timings only, never the text.
    void transcribed(const QString &route, double audioSeconds, qint64 elapsedMs, qsizetype textLength);

private:
    std::optional<HttpResponse> checkBackendCaller(const HttpRequest &request, const QByteArray &token) const;

    const AuthService *m_auth;
    SpeechRecognizer *m_recognizer;
    TranscriptionSettings m_settings;
    QThreadPool *m_pool;
};

} // namespace voxendo::devserver
