#include "devserver/authservice.h"

#include "devserver/async.h"
#include "devserver/passwordhash.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThreadPool>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

namespace voxendo::devserver {

namespace {

const QByteArray kApiVersionHeader = "X-Supabase-Api-Version";
const QByteArray kApiVersion = "2024-01-01";
constexpr int kMinimumPasswordLength = 6;

bool usesNewErrorShape(const HttpRequest &request)
{
    return request.header(kApiVersionHeader) == kApiVersion;
}

QJsonValue dateValue(const QDateTime &d)
{
    return d.isValid() ? QJsonValue(d.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}

void putDate(QJsonObject &o, const char *key, const QDateTime &d)
{
    if (d.isValid())
        o.insert(QLatin1String(key), dateValue(d));
}

bool plausibleEmail(const QString &email)
{
    static const QRegularExpression pattern(QStringLiteral(R"(^[^\s@]+@[^\s@]+\.[^\s@]+$)"));
    return email.size() <= 255 && pattern.match(email).hasMatch();
}

// The gateway in front of the service checks the API key before the service sees anything.
std::optional<HttpResponse> gatewayCheck(const HttpRequest &request, const QByteArray &anonKey)
{
    QByteArray key = request.header("apikey");
    if (!request.hasHeader("apikey"))
        key = request.queryItems().queryItemValue(QStringLiteral("apikey"), QUrl::FullyDecoded).toUtf8();
    if (key.isEmpty()) {
        return HttpResponse::json(401, {{"message", "No API key found in request"},
                                        {"hint", "No `apikey` request header or url param was found."}});
    }
    if (!PasswordHash::constantTimeEquals(key, anonKey)) {
        return HttpResponse::json(401, {{"message", "Invalid API key"},
                                        {"hint", "Double check your Supabase `anon` or `service_role` API key."}});
    }
    return std::nullopt;
}

} // namespace

AuthService::AuthService(UserStore *store, const TokenSigner *signer, QByteArray anonKey,
                         AuthSettings settings, QThreadPool *pool, Clock clock, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_signer(signer)
    , m_anonKey(std::move(anonKey))
    , m_settings(std::move(settings))
    , m_pool(pool)
    , m_clock(std::move(clock))
{
    // Made ahead, so that even the first sign-in for an unknown address costs one hash.
    (void)QtConcurrent::run(m_pool, [this] { dummyHash(); });
}

QDateTime AuthService::now() const
{
    return (m_clock ? m_clock() : QDateTime::currentDateTimeUtc()).toUTC();
}

QString AuthService::dummyHash()
{
    // A hash to check unknown addresses against, so "no such user" takes as long as "wrong
    // password" and sign-in does not reveal which addresses have accounts.
    std::call_once(m_dummyOnce, [this] {
        m_dummyHash = PasswordHash::make(QUuid::createUuid().toString(), m_settings.pbkdf2Iterations);
    });
    return m_dummyHash;
}

HttpResponse AuthService::error(const HttpRequest &request, int status, const QByteArray &code,
                                const QString &message, const QJsonObject &extra) const
{
    QJsonObject body;
    if (usesNewErrorShape(request)) {
        body = {{"code", QString::fromLatin1(code)}, {"message", message}};
    } else {
        body = {{"code", status}, {"error_code", QString::fromLatin1(code)}, {"msg", message}};
        if (status >= 500)
            body.insert("error_id", QUuid::createUuid().toString(QUuid::WithoutBraces));
    }
    for (auto it = extra.begin(); it != extra.end(); ++it)
        body.insert(it.key(), it.value());
    HttpResponse r = HttpResponse::json(status, body);
    if (usesNewErrorShape(request))
        r.withHeader(kApiVersionHeader, kApiVersion);
    return r;
}

HttpResponse AuthService::ok(const HttpRequest &request, const QJsonObject &body, int status) const
{
    HttpResponse r = status == 204 ? HttpResponse::empty(204) : HttpResponse::json(status, body);
    if (usesNewErrorShape(request))
        r.withHeader(kApiVersionHeader, kApiVersion);
    return r;
}

HttpResponse AuthService::saveFailed(const HttpRequest &request, const platform::Status &status) const
{
    qWarning("devserver: %s", qPrintable(status.message));
    return error(request, 500, "unexpected_failure", QStringLiteral("Database error saving the user file"));
}

QJsonObject AuthService::userJson(const UserRecord &u) const
{
    QJsonObject identityData{{"email", u.email},
                             {"email_verified", u.isConfirmed()},
                             {"phone_verified", false},
                             {"sub", u.id}};
    QJsonObject identity{{"identity_id", QUuid::fromString(u.id).isNull()
                                             ? QString()
                                             : QUuid::createUuidV5(QUuid::fromString(u.id), QStringLiteral("email"))
                                                   .toString(QUuid::WithoutBraces)},
                         {"id", u.id},
                         {"user_id", u.id},
                         {"identity_data", identityData},
                         {"provider", "email"},
                         {"email", u.email}};
    putDate(identity, "last_sign_in_at", u.lastSignInAt);
    putDate(identity, "created_at", u.createdAt);
    putDate(identity, "updated_at", u.updatedAt);

    QJsonObject user{{"id", u.id},
                     {"aud", "authenticated"},
                     {"role", "authenticated"},
                     {"email", u.email},
                     {"phone", ""},
                     {"app_metadata", QJsonObject{{"provider", "email"}, {"providers", QJsonArray{"email"}}}},
                     {"user_metadata", u.userMetadata},
                     {"identities", QJsonArray{identity}},
                     {"is_anonymous", false}};
    putDate(user, "email_confirmed_at", u.emailConfirmedAt);
    putDate(user, "confirmed_at", u.emailConfirmedAt);
    putDate(user, "confirmation_sent_at", u.confirmationSentAt);
    putDate(user, "last_sign_in_at", u.lastSignInAt);
    putDate(user, "created_at", u.createdAt);
    putDate(user, "updated_at", u.updatedAt);
    return user;
}

QJsonObject AuthService::tokenResponse(const UserRecord &user, const SessionRecord &session,
                                       const QByteArray &refreshToken, const QDateTime &now) const
{
    const qint64 issuedAt = now.toSecsSinceEpoch();
    const qint64 expiresAt = issuedAt + m_settings.expiresInSeconds;
    const QJsonObject claims{
        {"iss", m_settings.issuer},
        {"sub", user.id},
        {"aud", "authenticated"},
        {"exp", expiresAt},
        {"iat", issuedAt},
        {"email", user.email},
        {"phone", ""},
        {"app_metadata", QJsonObject{{"provider", "email"}, {"providers", QJsonArray{"email"}}}},
        {"user_metadata", user.userMetadata},
        {"role", "authenticated"},
        {"aal", "aal1"},
        {"amr", QJsonArray{QJsonObject{{"method", "password"},
                                       {"timestamp", session.createdAt.toSecsSinceEpoch()}}}},
        {"session_id", session.id},
        {"is_anonymous", false}};
    return {{"access_token", QString::fromLatin1(m_signer->sign(claims))},
            {"token_type", "bearer"},
            {"expires_in", m_settings.expiresInSeconds},
            {"expires_at", expiresAt},
            {"refresh_token", QString::fromLatin1(refreshToken)},
            {"user", userJson(user)}};
}

AuthService::BearerCheck AuthService::checkBearer(const QByteArray &authorization) const
{
    BearerCheck check;
    auto fail = [&check](int status, const char *code, const QString &message) {
        check.status = status;
        check.code = code;
        check.message = message;
        return check;
    };
    const QByteArray trimmed = authorization.trimmed();
    if (!trimmed.startsWith("Bearer ") && !trimmed.startsWith("bearer "))
        return fail(401, "no_authorization", QStringLiteral("This endpoint requires a Bearer token"));
    const QByteArray token = trimmed.mid(7).trimmed();
    if (token.isEmpty())
        return fail(401, "no_authorization", QStringLiteral("This endpoint requires a Bearer token"));
    const auto claims = m_signer->verify(token);
    if (!claims)
        return fail(403, "bad_jwt", QStringLiteral("invalid JWT: unable to parse or verify signature, signature is invalid"));
    if (claims->value("exp").toInteger() <= now().toSecsSinceEpoch())
        return fail(403, "bad_jwt", QStringLiteral("invalid JWT: unable to parse or verify signature, token has invalid claims: token is expired"));
    const QString sub = claims->value("sub").toString();
    if (sub.isEmpty())
        return fail(403, "bad_jwt", QStringLiteral("invalid claim: missing sub claim"));
    if (!m_store->userById(sub))
        return fail(403, "user_not_found", QStringLiteral("User from sub claim in JWT does not exist"));
    const QString sessionId = claims->value("session_id").toString();
    if (!m_store->session(sessionId))
        return fail(403, "session_not_found", QStringLiteral("Session from session_id claim in JWT does not exist"));
    check.userId = sub;
    check.sessionId = sessionId;
    return check;
}

void AuthService::handle(const HttpRequest &request, HttpsServer::Respond respond)
{
    if (auto refused = gatewayCheck(request, m_anonKey)) {
        respond(*refused);
        return;
    }
    // The `confirm` command may have changed the file since the last request.
    if (const auto status = m_store->reloadIfChanged(); !status.ok()) {
        respond(saveFailed(request, status));
        return;
    }

    const QByteArray path = request.path.endsWith('/') ? request.path.chopped(1) : request.path;
    const QByteArray method = request.method;
    auto needs = [&](const char *wanted) {
        if (method == wanted)
            return true;
        respond(error(request, 405, "method_not_allowed", QStringLiteral("Method not allowed"))
                    .withHeader("Allow", wanted));
        return false;
    };

    if (path == "/auth/v1/signup") {
        if (needs("POST"))
            signUp(request, respond);
    } else if (path == "/auth/v1/token") {
        if (!needs("POST"))
            return;
        QJsonParseError parseError;
        const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
        if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
            respond(error(request, 400, "bad_json",
                          QStringLiteral("Could not parse request body as JSON: %1")
                              .arg(doc.isNull() ? parseError.errorString() : QStringLiteral("expected an object"))));
            return;
        }
        const QString grant = request.queryItems().queryItemValue(QStringLiteral("grant_type"));
        if (grant == QLatin1String("password"))
            signIn(request, doc.object(), respond);
        else if (grant == QLatin1String("refresh_token"))
            refresh(request, doc.object(), respond);
        else
            respond(error(request, 400, "validation_failed", QStringLiteral("unsupported_grant_type")));
    } else if (path == "/auth/v1/logout") {
        if (needs("POST"))
            signOut(request, respond);
    } else if (path == "/auth/v1/user") {
        if (needs("GET"))
            getUser(request, respond);
    } else {
        respond(error(request, 404, "not_found", QStringLiteral("Not Found")));
    }
}

void AuthService::signUp(const HttpRequest &request, HttpsServer::Respond respond)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()) {
        respond(error(request, 400, "bad_json",
                      QStringLiteral("Could not parse request body as JSON: %1")
                          .arg(doc.isNull() ? parseError.errorString() : QStringLiteral("expected an object"))));
        return;
    }
    const QJsonObject body = doc.object();
    const QString email = body.value("email").toString().trimmed().toLower();
    const QString password = body.value("password").toString();
    if (email.isEmpty()) {
        respond(error(request, 400, "validation_failed", QStringLiteral("To signup, please provide your email")));
        return;
    }
    if (password.isEmpty()) {
        respond(error(request, 400, "validation_failed", QStringLiteral("Signup requires a valid password")));
        return;
    }
    if (!plausibleEmail(email)) {
        respond(error(request, 400, "validation_failed",
                      QStringLiteral("Unable to validate email address: invalid format")));
        return;
    }
    if (body.contains("code_challenge") != body.contains("code_challenge_method")) {
        respond(error(request, 400, "validation_failed",
                      QStringLiteral("PKCE flow requires code_challenge_method and code_challenge")));
        return;
    }
    if (password.size() < kMinimumPasswordLength) {
        respond(error(request, 422, "weak_password",
                      QStringLiteral("Password should be at least %1 characters.").arg(kMinimumPasswordLength),
                      {{"weak_password", QJsonObject{{"reasons", QJsonArray{"length"}}}}}));
        return;
    }
    if (const UserRecord *existing = m_store->userByEmail(email); existing && !m_settings.confirmEmail) {
        respond(error(request, 422, "user_already_exists", QStringLiteral("User already registered")));
        return;
    }

    const QJsonObject metadata = body.value("data").toObject();
    const int iterations = m_settings.pbkdf2Iterations;
    whenFinished(this, QtConcurrent::run(m_pool, [password, iterations] {
                     return PasswordHash::make(password, iterations);
                 }),
                 [this, request, respond, email, metadata](QFuture<QString> hashed) {
        if (hashed.resultCount() == 0) {
            respond(error(request, 503, "unexpected_failure", QStringLiteral("Server is shutting down")));
            return;
        }
        const QDateTime t = now();
        // Checked again: another sign-up for the same address may have finished meanwhile.
        const UserRecord *existing = m_store->userByEmail(email);
        if (existing && !m_settings.confirmEmail) {
            respond(error(request, 422, "user_already_exists", QStringLiteral("User already registered")));
            return;
        }
        if (existing && existing->isConfirmed()) {
            // With confirmation on, a confirmed address gets a decoy user and no session, so
            // sign-up does not tell anyone which addresses have accounts.
            UserRecord decoy;
            decoy.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
            decoy.email = email;
            decoy.createdAt = decoy.updatedAt = decoy.confirmationSentAt = t;
            decoy.userMetadata = metadata;
            QJsonObject user = userJson(decoy);
            user.insert("identities", QJsonArray());
            respond(ok(request, user));
            return;
        }

        QString userId;
        if (existing) {
            // Unconfirmed: the newest sign-up's password and data win; the mail goes out again.
            UserRecord *u = m_store->mutableUser(existing->id);
            u->passwordHash = hashed.result();
            u->userMetadata = metadata;
            u->updatedAt = u->confirmationSentAt = t;
            if (m_settings.autoConfirm)
                u->emailConfirmedAt = t;
            userId = u->id;
        } else {
            UserRecord u;
            u.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
            u.email = email;
            u.passwordHash = hashed.result();
            u.createdAt = u.updatedAt = t;
            u.userMetadata = metadata;
            if (!m_settings.confirmEmail) {
                u.emailConfirmedAt = t;
                u.lastSignInAt = t;
            } else {
                u.confirmationSentAt = t;
                if (m_settings.autoConfirm)
                    u.emailConfirmedAt = t;
            }
            userId = m_store->addUser(std::move(u)).id;
        }

        if (m_settings.confirmEmail) {
            if (const auto status = m_store->save(); !status.ok()) {
                respond(saveFailed(request, status));
                return;
            }
            if (!m_settings.autoConfirm)
                Q_EMIT confirmationPending(email);
            respond(ok(request, userJson(*m_store->userById(userId))));
            return;
        }
        const auto [session, refreshToken] = m_store->createSession(userId, t);
        if (const auto status = m_store->save(); !status.ok()) {
            respond(saveFailed(request, status));
            return;
        }
        respond(ok(request, tokenResponse(*m_store->userById(userId), session, refreshToken, t)));
    });
}

void AuthService::signIn(const HttpRequest &request, const QJsonObject &body,
                         HttpsServer::Respond respond)
{
    const QString email = body.value("email").toString().trimmed().toLower();
    const QString password = body.value("password").toString();
    if (email.isEmpty()) {
        respond(error(request, 400, "validation_failed", QStringLiteral("missing email or phone")));
        return;
    }
    const UserRecord *user = m_store->userByEmail(email);
    const QString encoded = user ? user->passwordHash : QString();
    whenFinished(this, QtConcurrent::run(m_pool, [this, password, encoded] {
                     return PasswordHash::verify(password, encoded.isEmpty() ? dummyHash() : encoded)
                         && !encoded.isEmpty();
                 }),
                 [this, request, respond, email](QFuture<bool> verified) {
        if (verified.resultCount() == 0) {
            respond(error(request, 503, "unexpected_failure", QStringLiteral("Server is shutting down")));
            return;
        }
        const UserRecord *user = m_store->userByEmail(email);
        if (!verified.result() || !user) {
            respond(error(request, 400, "invalid_credentials", QStringLiteral("Invalid login credentials")));
            return;
        }
        if (!user->isConfirmed()) {
            respond(error(request, 400, "email_not_confirmed", QStringLiteral("Email not confirmed")));
            return;
        }
        const QDateTime t = now();
        const QString userId = user->id;
        m_store->mutableUser(userId)->lastSignInAt = t;
        const auto [session, refreshToken] = m_store->createSession(userId, t);
        if (const auto status = m_store->save(); !status.ok()) {
            respond(saveFailed(request, status));
            return;
        }
        respond(ok(request, tokenResponse(*m_store->userById(userId), session, refreshToken, t)));
    });
}

void AuthService::refresh(const HttpRequest &request, const QJsonObject &body,
                          HttpsServer::Respond respond)
{
    const QByteArray token = body.value("refresh_token").toString().toUtf8();
    if (token.isEmpty()) {
        respond(error(request, 400, "validation_failed", QStringLiteral("refresh_token required")));
        return;
    }
    const auto [state, found] = m_store->findRefreshToken(token);
    switch (state) {
    case UserStore::RefreshState::Unknown:
        respond(error(request, 400, "refresh_token_not_found",
                      QStringLiteral("Invalid Refresh Token: Refresh Token Not Found")));
        return;
    case UserStore::RefreshState::AlreadyUsed: {
        // A spent token coming back means two parties hold the session (a copied token, or a
        // client that lost an answer): end the session, as the real service does.
        m_store->removeSession(found->id);
        if (const auto status = m_store->save(); !status.ok()) {
            respond(saveFailed(request, status));
            return;
        }
        respond(error(request, 400, "refresh_token_already_used",
                      QStringLiteral("Invalid Refresh Token: Already Used")));
        return;
    }
    case UserStore::RefreshState::Current:
        break;
    }
    const SessionRecord session = *found;
    const UserRecord *user = m_store->userById(session.userId);
    if (!user) {
        m_store->removeSession(session.id);
        m_store->save();
        respond(error(request, 400, "session_not_found", QStringLiteral("Session not found")));
        return;
    }
    const QDateTime t = now();
    const QByteArray next = m_store->rotateRefreshToken(session.id, t);
    if (const auto status = m_store->save(); !status.ok()) {
        respond(saveFailed(request, status));
        return;
    }
    respond(ok(request, tokenResponse(*user, *m_store->session(session.id), next, t)));
}

void AuthService::signOut(const HttpRequest &request, HttpsServer::Respond respond)
{
    const BearerCheck who = checkBearer(request.header("Authorization"));
    if (!who.ok()) {
        respond(error(request, who.status, who.code, who.message));
        return;
    }
    const QString scope = request.queryItems().queryItemValue(QStringLiteral("scope"));
    if (scope.isEmpty() || scope == QLatin1String("global"))
        m_store->removeSessionsOfUser(who.userId);
    else if (scope == QLatin1String("local"))
        m_store->removeSession(who.sessionId);
    else if (scope == QLatin1String("others"))
        m_store->removeSessionsOfUser(who.userId, who.sessionId);
    else {
        respond(error(request, 400, "validation_failed",
                      QStringLiteral("Unsupported logout scope \"%1\"").arg(scope)));
        return;
    }
    if (const auto status = m_store->save(); !status.ok()) {
        respond(saveFailed(request, status));
        return;
    }
    respond(ok(request, {}, 204));
}

void AuthService::getUser(const HttpRequest &request, HttpsServer::Respond respond)
{
    const BearerCheck who = checkBearer(request.header("Authorization"));
    if (!who.ok()) {
        respond(error(request, who.status, who.code, who.message));
        return;
    }
    respond(ok(request, userJson(*m_store->userById(who.userId))));
}

} // namespace voxendo::devserver
