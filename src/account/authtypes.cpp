#include "account/authtypes.h"

#include <QJsonArray>

namespace voxendo {

namespace {

std::optional<QString> optionalString(const QJsonObject &object, const QString &key)
{
    const QJsonValue v = object.value(key);
    if (!v.isString())
        return std::nullopt;
    return v.toString();
}

QString quoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace

std::optional<AuthUser> AuthUser::fromJson(const QJsonObject &object)
{
    const std::optional<QString> id = optionalString(object, QStringLiteral("id"));
    if (!id || id->isEmpty())
        return std::nullopt;
    AuthUser user;
    user.m_id = *id;
    // The service sends "" for accounts without an address (phone sign-ups): that is no e-mail.
    const std::optional<QString> email = optionalString(object, QStringLiteral("email"));
    if (email && !email->isEmpty())
        user.m_email = email;
    user.m_raw = object;
    return user;
}

std::optional<AuthSession> AuthSession::fromJson(const QJsonObject &object, qint64 nowSecs)
{
    AuthSession s;
    s.accessToken = object.value(QStringLiteral("access_token")).toString();
    s.refreshToken = object.value(QStringLiteral("refresh_token")).toString();
    s.tokenType = object.value(QStringLiteral("token_type")).toString(QStringLiteral("bearer"));
    const QJsonValue expiresIn = object.value(QStringLiteral("expires_in"));
    const QJsonValue expiresAt = object.value(QStringLiteral("expires_at"));
    if (s.accessToken.isEmpty() || s.refreshToken.isEmpty())
        return std::nullopt;
    if (expiresAt.isDouble()) {
        s.expiresAt = qint64(expiresAt.toDouble());
        s.expiresIn = expiresIn.isDouble() ? qint64(expiresIn.toDouble()) : s.expiresAt - nowSecs;
    } else if (expiresIn.isDouble()) {
        s.expiresIn = qint64(expiresIn.toDouble());
        s.expiresAt = nowSecs + s.expiresIn;
    } else {
        return std::nullopt;
    }
    const std::optional<AuthUser> user = AuthUser::fromJson(object.value(QStringLiteral("user")).toObject());
    if (!user)
        return std::nullopt;
    s.user = *user;
    return s;
}

QJsonObject AuthSession::toJson() const
{
    return QJsonObject{
        {QStringLiteral("access_token"), accessToken},
        {QStringLiteral("token_type"), tokenType},
        {QStringLiteral("expires_in"), double(expiresIn)},
        {QStringLiteral("expires_at"), double(expiresAt)},
        {QStringLiteral("refresh_token"), refreshToken},
        {QStringLiteral("user"), user.raw()},
    };
}

QString authChangeEventName(AuthChangeEvent event)
{
    switch (event) {
    case AuthChangeEvent::initialSession: return QStringLiteral("INITIAL_SESSION");
    case AuthChangeEvent::passwordRecovery: return QStringLiteral("PASSWORD_RECOVERY");
    case AuthChangeEvent::signedIn: return QStringLiteral("SIGNED_IN");
    case AuthChangeEvent::signedOut: return QStringLiteral("SIGNED_OUT");
    case AuthChangeEvent::tokenRefreshed: return QStringLiteral("TOKEN_REFRESHED");
    case AuthChangeEvent::userUpdated: return QStringLiteral("USER_UPDATED");
    case AuthChangeEvent::userDeleted: return QStringLiteral("USER_DELETED");
    case AuthChangeEvent::mfaChallengeVerified: return QStringLiteral("MFA_CHALLENGE_VERIFIED");
    }
    return {};
}

AuthError AuthError::api(int status, QString code, QString message, QStringList weakPasswordReasons)
{
    AuthError e;
    e.m_kind = Kind::api;
    e.m_status = status;
    e.m_code = std::move(code);
    e.m_message = std::move(message);
    e.m_reasons = std::move(weakPasswordReasons);
    return e;
}

AuthError AuthError::retryableFetch(int status, QString message)
{
    AuthError e;
    e.m_kind = Kind::retryableFetch;
    e.m_status = status;
    e.m_message = std::move(message);
    return e;
}

AuthError AuthError::unknown(int status, QString message)
{
    AuthError e;
    e.m_kind = Kind::unknown;
    e.m_status = status;
    e.m_message = std::move(message);
    return e;
}

AuthError AuthError::invalidTokenResponse()
{
    AuthError e;
    e.m_kind = Kind::invalidTokenResponse;
    e.m_message = QStringLiteral("Auth session or user missing");
    return e;
}

AuthError AuthError::sessionMissing()
{
    AuthError e;
    e.m_kind = Kind::sessionMissing;
    e.m_message = QStringLiteral("Auth session missing.");
    return e;
}

QString AuthError::description() const
{
    switch (m_kind) {
    case Kind::api: {
        QString text = QStringLiteral("AuthError.api(status: %1, code: %2, message: %3")
                           .arg(m_status)
                           .arg(quoted(m_code), quoted(m_message));
        if (!m_reasons.isEmpty()) {
            QStringList reasons;
            for (const QString &r : m_reasons)
                reasons.append(quoted(r));
            text += QStringLiteral(", reasons: [%1]").arg(reasons.join(QStringLiteral(", ")));
        }
        return text + QLatin1Char(')');
    }
    case Kind::retryableFetch:
        return QStringLiteral("AuthError.retryableFetch(status: %1, message: %2)").arg(m_status).arg(quoted(m_message));
    case Kind::unknown:
        return QStringLiteral("AuthError.unknown(status: %1, message: %2)").arg(m_status).arg(quoted(m_message));
    case Kind::invalidTokenResponse:
        return QStringLiteral("AuthError.invalidTokenResponse");
    case Kind::sessionMissing:
        return QStringLiteral("AuthError.sessionMissing");
    }
    return {};
}

QString AuthError::localizedDescription() const
{
    if (!m_message.isEmpty())
        return m_message;
    return QStringLiteral("An unexpected error occurred. Please try again.");
}

bool AuthError::endsSession() const
{
    if (m_kind != Kind::api)
        return false;
    static const QStringList codes{
        QStringLiteral("session_not_found"),
        QStringLiteral("session_expired"),
        QStringLiteral("refresh_token_not_found"),
        QStringLiteral("refresh_token_already_used"),
        QStringLiteral("invalid_grant"), // older servers
    };
    return codes.contains(m_code);
}

} // namespace voxendo
