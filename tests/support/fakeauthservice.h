#pragma once

#include "support/httpsfakeserver.h"

#include <QHash>
#include <QJsonObject>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

namespace voxendo::test {

// The hosted-auth service's REST API (under /auth/v1) on an HttpsFakeServer, scripted like the
// real one: users with passwords, e-mail confirmation, sessions with access tokens and rotating
// refresh tokens, global and local sign-out, and its error shapes (the {"code","message"} shape
// when the request carries X-Supabase-Api-Version, else {"code":<status>,"error_code","msg"}).
// It also serves the backend's GET /config pointing at itself.
//
//   HttpsFakeServer server; server.listen();
//   FakeAuthService auth(server);
//   auth.addUser("ada@example.com", "correct horse");
//   auth.serveConfig();            // /config names this service and its anon key
class FakeAuthService
{
public:
    enum class Endpoint { passwordGrant, refreshGrant, signup, logout, user };

    explicit FakeAuthService(HttpsFakeServer &server, QString anonKey = QStringLiteral("test-anon-key"));

    QUrl serviceUrl() const { return m_server.baseUrl(); }
    QString anonKey() const { return m_anonKey; }

    // GET /config answering the document below (status 200).
    void serveConfig(const std::optional<QString> &latestVersion = std::nullopt,
                     const std::optional<QString> &minVersion = std::nullopt);
    QJsonObject configDocument(const std::optional<QString> &latestVersion = std::nullopt,
                               const std::optional<QString> &minVersion = std::nullopt) const;

    // Returns the new user's id. An empty e-mail makes a user without an address.
    QString addUser(const QString &email, const QString &password, bool confirmed = true);
    void setEmail(const QString &userId, const QString &email);
    // Sign-ups then wait for the address to be confirmed (no session in the answer).
    void setRequireEmailConfirmation(bool required) { m_requireConfirmation = required; }
    // Lifetime of the access tokens issued from now on.
    void setExpiresIn(qint64 seconds) { m_expiresIn = seconds; }
    // The service's clock in milliseconds since the epoch (for expires_at); the system clock if unset.
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }
    // Every auth request's connection is dropped without an answer while offline.
    void setOffline(bool offline) { m_offline = offline; }
    // The next request to `endpoint` gets `response` instead of the service's own answer.
    void scriptNext(Endpoint endpoint, const FakeResponse &response);

    // A session as the token endpoint would issue it, for seeding a storage.
    QJsonObject issueSession(const QString &email);
    // True while the refresh token can still be exchanged.
    bool refreshTokenActive(const QString &refreshToken) const;

    QList<RecordedRequest> requests(Endpoint endpoint) const;
    int requestCount(Endpoint endpoint) const { return int(requests(endpoint).size()); }

    // An error answer in the shape the request asked for.
    static FakeResponse errorAnswer(const RecordedRequest &request, int status, const QString &code,
                                    const QString &message, const QJsonObject &extra = {});

private:
    struct User
    {
        QString id;
        QString email;
        QString password;
        bool confirmed = true;
        QJsonObject json() const;
    };
    struct Session
    {
        QString userId;
        bool revoked = false;
    };
    struct RefreshToken
    {
        QString sessionId;
        bool used = false;
    };

    FakeResponse handle(Endpoint endpoint, const RecordedRequest &request);
    FakeResponse passwordGrant(const RecordedRequest &request);
    FakeResponse refreshGrant(const RecordedRequest &request);
    FakeResponse signup(const RecordedRequest &request);
    FakeResponse logout(const RecordedRequest &request);
    FakeResponse user(const RecordedRequest &request);
    // The session behind a bearer access token, or the error to answer.
    std::optional<QString> sessionOf(const RecordedRequest &request, FakeResponse &error) const;
    QJsonObject tokenResponse(const QString &sessionId);
    User *userByEmail(const QString &email);
    qint64 nowMs() const;

    HttpsFakeServer &m_server;
    QString m_anonKey;
    QHash<QString, User> m_users; // by id
    QHash<QString, Session> m_sessions;
    QHash<QString, RefreshToken> m_refreshTokens;
    QHash<QString, QString> m_accessTokens; // token -> session id
    QHash<int, std::deque<FakeResponse>> m_scripted;
    QHash<int, QList<RecordedRequest>> m_requests;
    bool m_requireConfirmation = false;
    bool m_offline = false;
    qint64 m_expiresIn = 3600;
    std::function<qint64()> m_clock;
    int m_serial = 0;
};

} // namespace voxendo::test
