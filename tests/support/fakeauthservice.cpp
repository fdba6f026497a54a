#include "support/fakeauthservice.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>

namespace voxendo::test {

namespace {

QString newUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces);
}

QByteArray b64(const QByteArray &bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

} // namespace

FakeAuthService::FakeAuthService(HttpsFakeServer &server, QString anonKey)
    : m_server(server)
    , m_anonKey(std::move(anonKey))
{
    const auto bind = [this](const QByteArray &method, const QByteArray &path, std::optional<Endpoint> fixed) {
        m_server.route(method, path, [this, fixed](const RecordedRequest &request) {
            Endpoint endpoint = fixed.value_or(Endpoint::passwordGrant);
            if (!fixed) {
                const QString grant = request.queryItems().queryItemValue(QStringLiteral("grant_type"));
                if (grant == QLatin1String("refresh_token"))
                    endpoint = Endpoint::refreshGrant;
                else if (grant != QLatin1String("password"))
                    return errorAnswer(request, 400, QStringLiteral("validation_failed"),
                                       QStringLiteral("unsupported_grant_type"));
            }
            return handle(endpoint, request);
        });
    };
    bind("POST", "/auth/v1/token", std::nullopt);
    bind("POST", "/auth/v1/signup", Endpoint::signup);
    bind("POST", "/auth/v1/logout", Endpoint::logout);
    bind("GET", "/auth/v1/user", Endpoint::user);
}

qint64 FakeAuthService::nowMs() const
{
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

QJsonObject FakeAuthService::configDocument(const std::optional<QString> &latestVersion,
                                            const std::optional<QString> &minVersion) const
{
    QJsonObject doc{
        {QStringLiteral("supabaseURL"), serviceUrl().toString()},
        {QStringLiteral("supabaseAnonKey"), m_anonKey},
    };
    if (latestVersion)
        doc.insert(QStringLiteral("latestVersion"), *latestVersion);
    if (minVersion)
        doc.insert(QStringLiteral("minVersion"), *minVersion);
    return doc;
}

void FakeAuthService::serveConfig(const std::optional<QString> &latestVersion, const std::optional<QString> &minVersion)
{
    const QJsonObject doc = configDocument(latestVersion, minVersion);
    m_server.route("GET", "/config", [doc](const RecordedRequest &) { return FakeResponse::json(200, doc); });
}

QString FakeAuthService::addUser(const QString &email, const QString &password, bool confirmed)
{
    User user{newUuid(), email, password, confirmed};
    m_users.insert(user.id, user);
    return user.id;
}

void FakeAuthService::setEmail(const QString &userId, const QString &email)
{
    m_users[userId].email = email;
}

void FakeAuthService::scriptNext(Endpoint endpoint, const FakeResponse &response)
{
    m_scripted[int(endpoint)].push_back(response);
}

QList<RecordedRequest> FakeAuthService::requests(Endpoint endpoint) const
{
    return m_requests.value(int(endpoint));
}

bool FakeAuthService::refreshTokenActive(const QString &refreshToken) const
{
    const auto it = m_refreshTokens.find(refreshToken);
    return it != m_refreshTokens.end() && !it->used && !m_sessions.value(it->sessionId).revoked;
}

QJsonObject FakeAuthService::User::json() const
{
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    return QJsonObject{
        {QStringLiteral("id"), id},
        {QStringLiteral("aud"), QStringLiteral("authenticated")},
        {QStringLiteral("role"), QStringLiteral("authenticated")},
        {QStringLiteral("email"), email},
        {QStringLiteral("email_confirmed_at"), confirmed ? QJsonValue(now) : QJsonValue()},
        {QStringLiteral("phone"), QString()},
        {QStringLiteral("confirmed_at"), confirmed ? QJsonValue(now) : QJsonValue()},
        {QStringLiteral("app_metadata"), QJsonObject{{QStringLiteral("provider"), QStringLiteral("email")}}},
        {QStringLiteral("user_metadata"), QJsonObject()},
        {QStringLiteral("identities"), QJsonArray()},
        {QStringLiteral("created_at"), now},
        {QStringLiteral("updated_at"), now},
        {QStringLiteral("is_anonymous"), false},
    };
}

FakeResponse FakeAuthService::errorAnswer(const RecordedRequest &request, int status, const QString &code,
                                          const QString &message, const QJsonObject &extra)
{
    QJsonObject body = extra;
    const bool versioned = request.hasHeader("X-Supabase-Api-Version");
    if (versioned) {
        body.insert(QStringLiteral("code"), code);
        body.insert(QStringLiteral("message"), message);
    } else {
        body.insert(QStringLiteral("code"), status);
        body.insert(QStringLiteral("error_code"), code);
        body.insert(QStringLiteral("msg"), message);
    }
    FakeResponse r = FakeResponse::json(status, body);
    if (versioned)
        r.withHeader("X-Supabase-Api-Version", "2024-01-01");
    return r;
}

FakeResponse FakeAuthService::handle(Endpoint endpoint, const RecordedRequest &request)
{
    m_requests[int(endpoint)].append(request);
    if (m_offline)
        return FakeResponse::drop();
    if (auto scripted = m_scripted.find(int(endpoint)); scripted != m_scripted.end() && !scripted->empty()) {
        FakeResponse r = scripted->front();
        scripted->pop_front();
        return r;
    }
    // The gateway checks the key before the auth server sees anything.
    const QByteArray key = request.header("apikey");
    if (key.isEmpty())
        return FakeResponse::json(401, QJsonObject{{QStringLiteral("message"), QStringLiteral("No API key found in request")}});
    if (key != m_anonKey.toUtf8())
        return FakeResponse::json(401, QJsonObject{{QStringLiteral("message"), QStringLiteral("Invalid API key")}});

    switch (endpoint) {
    case Endpoint::passwordGrant: return passwordGrant(request);
    case Endpoint::refreshGrant: return refreshGrant(request);
    case Endpoint::signup: return signup(request);
    case Endpoint::logout: return logout(request);
    case Endpoint::user: return user(request);
    }
    return FakeResponse::noContent(500);
}

FakeAuthService::User *FakeAuthService::userByEmail(const QString &email)
{
    for (User &u : m_users) {
        if (!email.isEmpty() && u.email.compare(email, Qt::CaseInsensitive) == 0)
            return &u;
    }
    return nullptr;
}

QJsonObject FakeAuthService::tokenResponse(const QString &sessionId)
{
    const Session &session = m_sessions[sessionId];
    const qint64 expiresAt = nowMs() / 1000 + m_expiresIn;
    ++m_serial;
    const QJsonObject claims{
        {QStringLiteral("sub"), session.userId},
        {QStringLiteral("session_id"), sessionId},
        {QStringLiteral("exp"), double(expiresAt)},
        {QStringLiteral("n"), m_serial},
    };
    const QString accessToken = QString::fromLatin1(b64(R"({"alg":"HS256","typ":"JWT"})") + '.'
                                                    + b64(QJsonDocument(claims).toJson(QJsonDocument::Compact)) + '.'
                                                    + b64(QUuid::createUuid().toRfc4122()));
    const QString refreshToken = QStringLiteral("rt-%1-%2").arg(m_serial).arg(QUuid::createUuid().toString(QUuid::Id128).left(12));
    m_accessTokens.insert(accessToken, sessionId);
    m_refreshTokens.insert(refreshToken, RefreshToken{sessionId, false});
    return QJsonObject{
        {QStringLiteral("access_token"), accessToken},
        {QStringLiteral("token_type"), QStringLiteral("bearer")},
        {QStringLiteral("expires_in"), double(m_expiresIn)},
        {QStringLiteral("expires_at"), double(expiresAt)},
        {QStringLiteral("refresh_token"), refreshToken},
        {QStringLiteral("user"), m_users.value(session.userId).json()},
    };
}

QJsonObject FakeAuthService::issueSession(const QString &email)
{
    User *user = userByEmail(email);
    Q_ASSERT(user);
    const QString sessionId = newUuid();
    m_sessions.insert(sessionId, Session{user->id, false});
    return tokenResponse(sessionId);
}

FakeResponse FakeAuthService::passwordGrant(const RecordedRequest &request)
{
    const QJsonObject body = request.json();
    const QString email = body.value(QStringLiteral("email")).toString();
    const QString password = body.value(QStringLiteral("password")).toString();
    if (email.isEmpty() || password.isEmpty())
        return errorAnswer(request, 400, QStringLiteral("validation_failed"), QStringLiteral("missing email or phone"));
    User *user = userByEmail(email);
    if (!user || user->password != password)
        return errorAnswer(request, 400, QStringLiteral("invalid_credentials"), QStringLiteral("Invalid login credentials"));
    if (!user->confirmed)
        return errorAnswer(request, 400, QStringLiteral("email_not_confirmed"), QStringLiteral("Email not confirmed"));
    return FakeResponse::json(200, issueSession(user->email));
}

FakeResponse FakeAuthService::refreshGrant(const RecordedRequest &request)
{
    const QString token = request.json().value(QStringLiteral("refresh_token")).toString();
    const auto it = m_refreshTokens.find(token);
    if (it == m_refreshTokens.end() || m_sessions.value(it->sessionId).revoked) {
        return errorAnswer(request, 400, QStringLiteral("refresh_token_not_found"),
                           QStringLiteral("Invalid Refresh Token: Refresh Token Not Found"));
    }
    if (it->used) {
        return errorAnswer(request, 400, QStringLiteral("refresh_token_already_used"),
                           QStringLiteral("Invalid Refresh Token: Already Used"));
    }
    it->used = true; // rotation: every refresh token works once
    return FakeResponse::json(200, tokenResponse(it->sessionId));
}

FakeResponse FakeAuthService::signup(const RecordedRequest &request)
{
    const QJsonObject body = request.json();
    const QString email = body.value(QStringLiteral("email")).toString();
    const QString password = body.value(QStringLiteral("password")).toString();
    if (email.isEmpty())
        return errorAnswer(request, 400, QStringLiteral("validation_failed"), QStringLiteral("To signup, please provide your email"));
    if (body.contains(QStringLiteral("code_challenge")) != body.contains(QStringLiteral("code_challenge_method"))) {
        return errorAnswer(request, 400, QStringLiteral("validation_failed"),
                           QStringLiteral("PKCE flow requires code_challenge_method and code_challenge"));
    }
    if (password.size() < 6) {
        return errorAnswer(request, 422, QStringLiteral("weak_password"),
                           QStringLiteral("Password should be at least 6 characters."),
                           QJsonObject{{QStringLiteral("weak_password"),
                                        QJsonObject{{QStringLiteral("reasons"), QJsonArray{QStringLiteral("length")}}}}});
    }
    if (User *existing = userByEmail(email)) {
        if (!m_requireConfirmation)
            return errorAnswer(request, 422, QStringLiteral("user_already_exists"), QStringLiteral("User already registered"));
        // With confirmation on, the service does not reveal the account: a decoy user.
        User decoy = *existing;
        decoy.id = newUuid();
        return FakeResponse::json(200, decoy.json());
    }
    const QString id = addUser(email, password, !m_requireConfirmation);
    if (m_requireConfirmation) {
        QJsonObject json = m_users.value(id).json();
        json.insert(QStringLiteral("confirmation_sent_at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
        return FakeResponse::json(200, json);
    }
    return FakeResponse::json(200, issueSession(email));
}

std::optional<QString> FakeAuthService::sessionOf(const RecordedRequest &request, FakeResponse &error) const
{
    const QByteArray authorization = request.header("Authorization");
    if (!authorization.startsWith("Bearer ")) {
        error = errorAnswer(request, 401, QStringLiteral("no_authorization"), QStringLiteral("This endpoint requires a Bearer token"));
        return std::nullopt;
    }
    const QString token = QString::fromUtf8(authorization.mid(7));
    const auto it = m_accessTokens.find(token);
    if (it == m_accessTokens.end()) {
        error = errorAnswer(request, 403, QStringLiteral("bad_jwt"), QStringLiteral("invalid JWT: unable to parse or verify signature"));
        return std::nullopt;
    }
    if (m_sessions.value(*it).revoked) {
        error = errorAnswer(request, 403, QStringLiteral("session_not_found"),
                            QStringLiteral("Session from session_id claim in JWT does not exist"));
        return std::nullopt;
    }
    return *it;
}

FakeResponse FakeAuthService::logout(const RecordedRequest &request)
{
    FakeResponse error;
    const std::optional<QString> sessionId = sessionOf(request, error);
    if (!sessionId)
        return error;
    const QString scope = request.queryItems().queryItemValue(QStringLiteral("scope"));
    const QString userId = m_sessions.value(*sessionId).userId;
    if (scope.isEmpty() || scope == QLatin1String("global")) {
        for (Session &s : m_sessions) {
            if (s.userId == userId)
                s.revoked = true;
        }
    } else if (scope == QLatin1String("local")) {
        m_sessions[*sessionId].revoked = true;
    } else if (scope == QLatin1String("others")) {
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
            if (it->userId == userId && it.key() != *sessionId)
                it->revoked = true;
        }
    } else {
        return errorAnswer(request, 400, QStringLiteral("validation_failed"),
                           QStringLiteral("Unsupported logout scope \"%1\"").arg(scope));
    }
    return FakeResponse::noContent(204);
}

FakeResponse FakeAuthService::user(const RecordedRequest &request)
{
    FakeResponse error;
    const std::optional<QString> sessionId = sessionOf(request, error);
    if (!sessionId)
        return error;
    return FakeResponse::json(200, m_users.value(m_sessions.value(*sessionId).userId).json());
}

} // namespace voxendo::test
