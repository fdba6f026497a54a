#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace voxendo {

// A user record as the hosted-auth service returns it. `id` and `email` are what the
// application reads; `raw` keeps the whole record so nothing the service sent is lost when the
// session is stored and restored.
class AuthUser
{
    Q_GADGET
    Q_PROPERTY(QString id READ id CONSTANT)
    Q_PROPERTY(QString email READ emailText CONSTANT)

public:
    AuthUser() = default;

    // None unless the object carries a non-empty string "id".
    static std::optional<AuthUser> fromJson(const QJsonObject &object);

    QString id() const { return m_id; }
    std::optional<QString> email() const { return m_email; }
    QString emailText() const { return m_email.value_or(QString()); }
    QJsonObject raw() const { return m_raw; }

    bool operator==(const AuthUser &other) const = default;

private:
    QString m_id;
    std::optional<QString> m_email;
    QJsonObject m_raw;
};

// A signed-in session: the service's token response. `expiresAt` is in Unix seconds.
struct AuthSession
{
    QString accessToken;
    QString refreshToken;
    QString tokenType;
    qint64 expiresIn = 0;
    qint64 expiresAt = 0;
    AuthUser user;

    // From a token response or a stored session. `nowSecs` fills `expires_at` when the service
    // sent only `expires_in`. None unless access token, refresh token, an expiry and a user are
    // all there.
    static std::optional<AuthSession> fromJson(const QJsonObject &object, qint64 nowSecs);
    QJsonObject toJson() const;
};

// What the session-state stream reports.
enum class AuthChangeEvent {
    initialSession,
    passwordRecovery,
    signedIn,
    signedOut,
    tokenRefreshed,
    userUpdated,
    userDeleted,
    mfaChallengeVerified,
};

QString authChangeEventName(AuthChangeEvent event); // "INITIAL_SESSION", "SIGNED_IN", ...

struct AuthStateChange
{
    AuthChangeEvent event;
    std::optional<AuthSession> session;
};

// A failed hosted-auth call. `description()` names the kind and its contents for the console
// ("{error}" in the account lines) and never holds a token; `localizedDescription()` is the
// user-facing text, which for refusals is the service's own message.
class AuthError
{
public:
    enum class Kind {
        api,                  // the service answered with an error status
        retryableFetch,       // no answer (transport failure) or 502 / 503 / 504
        unknown,              // an error status whose body was not the service's JSON
        invalidTokenResponse, // a success status without a usable session or user
        sessionMissing,       // no session to use
    };

    static AuthError api(int status, QString code, QString message, QStringList weakPasswordReasons = {});
    static AuthError retryableFetch(int status, QString message);
    static AuthError unknown(int status, QString message);
    static AuthError invalidTokenResponse();
    static AuthError sessionMissing();

    Kind kind() const { return m_kind; }
    int status() const { return m_status; }  // HTTP status; 0 when there was no answer
    QString code() const { return m_code; }  // the service's error code, e.g. "invalid_credentials"
    QString message() const { return m_message; }
    QStringList weakPasswordReasons() const { return m_reasons; }

    QString description() const;
    QString localizedDescription() const;

    // The refresh token can never work again: the stored session must go.
    bool endsSession() const;

private:
    Kind m_kind = Kind::unknown;
    int m_status = 0;
    QString m_code;
    QString m_message;
    QStringList m_reasons;
};

// A value or the error that prevented it.
template <typename T>
class AuthResult
{
public:
    // Empty results (containers, QCoro::waitFor) read as "no session", never as a success.
    AuthResult() : m_v(AuthError::sessionMissing()) {}
    AuthResult(T value) : m_v(std::move(value)) {}
    AuthResult(AuthError error) : m_v(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(m_v); }
    const T &value() const { return std::get<T>(m_v); }
    const AuthError &error() const { return std::get<AuthError>(m_v); }

private:
    std::variant<T, AuthError> m_v;
};

// The answer to an account creation: a session when the account is usable at once, else only
// the user (the service waits for the address to be confirmed).
struct SignUpAnswer
{
    AuthUser user;
    std::optional<AuthSession> session;
};

} // namespace voxendo

Q_DECLARE_METATYPE(voxendo::AuthUser)
Q_DECLARE_METATYPE(voxendo::AuthStateChange)
