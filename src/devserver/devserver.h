#pragma once

#include "devserver/devserveroptions.h"
#include "devserver/httpsserver.h"
#include "platform/status.h"

#include <QObject>
#include <QThreadPool>
#include <QUrl>

#include <memory>

namespace voxendo::devserver {

class AuthService;
class Certificates;
class SpeechRecognizer;
class TokenSigner;
class TranscriptionApi;
class UserStore;

// The whole stand-in: one HTTPS server on 127.0.0.1 serving /config, the auth subset and the
// transcription endpoints from one data directory. Main thread only.
class DevServer : public QObject
{
    Q_OBJECT
public:
    explicit DevServer(DevServerOptions options, QObject *parent = nullptr);
    ~DevServer() override;

    // Prepares the data directory (certificates, secrets, users) and starts listening.
    platform::Status start();

    QUrl baseUrl() const; // https://127.0.0.1:<port>
    quint16 port() const;
    QString caCertificatePath() const;
    QByteArray anonKey() const { return m_anonKey; }
    QString usersFilePath() const;
    // What start() has to tell the operator (a new CA, a missing speech model).
    QStringList startupNotes() const { return m_startupNotes; }

    // The `confirm` command: marks the account's address confirmed in the data directory.
    static platform::Status confirmUser(const QString &dataDir, const QString &email);

Q_SIGNALS:
    // Lines for the operator: notices on standard output, the access log on standard error.
    void notice(const QString &line);
    void accessLog(const QString &line);
    // With DevServerOptions::trace: "trace METHOD PATH STATUS request=N connected=US
    // first-byte=US received=US answered=US" per request, CLOCK_MONOTONIC microseconds; N counts
    // the requests on the connection (paths only, never queries).
    void traceLine(const QString &line);

private:
    void handle(const HttpRequest &request, HttpsServer::Respond respond);
    platform::Status prepareDataDir();
    platform::Status loadSecrets();

    DevServerOptions m_options;
    QThreadPool m_workers;
    QStringList m_startupNotes;
    QByteArray m_jwtSecret;
    QByteArray m_anonKey;
    std::unique_ptr<Certificates> m_certificates;
    std::unique_ptr<UserStore> m_store;
    std::unique_ptr<TokenSigner> m_signer;
    std::unique_ptr<SpeechRecognizer> m_recognizer;
    HttpsServer *m_server = nullptr;
    AuthService *m_auth = nullptr;
    TranscriptionApi *m_transcription = nullptr;
};

} // namespace voxendo::devserver
