#pragma once

#include "devserver/httpsserver.h"
#include "devserver/tokensigner.h"
#include "devserver/userstore.h"

#include <QDateTime>
#include <QObject>

#include <functional>
#include <mutex>

class QThreadPool;

namespace voxendo::devserver {

struct AuthSettings
{
    bool confirmEmail = false;  // sign-up answers a bare user and waits for confirmation
    bool autoConfirm = false;   // ... but the address counts as confirmed at once
    int expiresInSeconds = 3600;
    int pbkdf2Iterations = 100000;
    QString issuer;             // "<base URL>/auth/v1", the tokens' iss claim
};

// The hosted-auth REST subset under /auth/v1 that the application uses: sign-up, password
// sign-in, refresh with rotation, sign-out, get user. Requests pass the gateway's API-key check
// first. Errors come in the service's two shapes: {"code","message"} for clients that send
// X-Supabase-Api-Version: 2024-01-01, else {"code":<status>,"error_code","msg"}.
// Main thread only; password hashing runs on `pool`.
class AuthService : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;

    AuthService(UserStore *store, const TokenSigner *signer, QByteArray anonKey,
                AuthSettings settings, QThreadPool *pool, Clock clock = {},
                QObject *parent = nullptr);

    // Any request whose path starts with /auth/v1.
    void handle(const HttpRequest &request, HttpsServer::Respond respond);

    // The user behind an "Authorization: Bearer <access token>" header.
    struct BearerCheck
    {
        int status = 0; // 0 ok, else the HTTP status to answer
        QByteArray code;
        QString message;
        QString userId;
        QString sessionId;
        bool ok() const { return status == 0; }
    };
    BearerCheck checkBearer(const QByteArray &authorization) const;

    QByteArray anonKey() const { return m_anonKey; }

Q_SIGNALS:
    // For the operator's console: a sign-up now waits for its address to be confirmed.
    void confirmationPending(const QString &email);

private:
    void signUp(const HttpRequest &request, HttpsServer::Respond respond);
    void signIn(const HttpRequest &request, const QJsonObject &body, HttpsServer::Respond respond);
    void refresh(const HttpRequest &request, const QJsonObject &body, HttpsServer::Respond respond);
    void signOut(const HttpRequest &request, HttpsServer::Respond respond);
    void getUser(const HttpRequest &request, HttpsServer::Respond respond);

    HttpResponse error(const HttpRequest &request, int status, const QByteArray &code,
                       const QString &message, const QJsonObject &extra = {}) const;
    HttpResponse ok(const HttpRequest &request, const QJsonObject &body, int status = 200) const;
    HttpResponse saveFailed(const HttpRequest &request, const platform::Status &status) const;
    QJsonObject userJson(const UserRecord &user) const;
    QJsonObject tokenResponse(const UserRecord &user, const SessionRecord &session,
                              const QByteArray &refreshToken, const QDateTime &now) const;
    QDateTime now() const;
    QString dummyHash();

    UserStore *m_store;
    const TokenSigner *m_signer;
    QByteArray m_anonKey;
    AuthSettings m_settings;
    QThreadPool *m_pool;
    Clock m_clock;
    std::once_flag m_dummyOnce;
    QString m_dummyHash;
};

} // namespace voxendo::devserver
