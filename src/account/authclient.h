#pragma once

#include "account/authsessionstorage.h"
#include "account/authstatestream.h"
#include "account/authtypes.h"

#include <QCoroTask>
#include <QFuture>
#include <QPromise>
#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class QNetworkAccessManager;

namespace voxendo {

// Our client of the hosted authentication service (its REST API under <service URL>/auth/v1):
// e-mail and password sign-in and sign-up, sign-out, the current session with automatic token
// refresh, and the session-state stream. The session is kept in memory and persisted through an
// AuthSessionStorage; it is restored from there when the client starts.
//
// Lives on the main thread; every operation is a coroutine that suspends without blocking it.
// Failures come back as AuthError values, never as exceptions.
class AuthClient : public QObject
{
    Q_OBJECT

public:
    enum class FlowType { implicit, pkce };
    enum class SignOutScope { global, local, others };
    using Clock = std::function<qint64()>; // milliseconds since the Unix epoch

    struct Options
    {
        // Where the session is persisted. Null keeps it for this run only.
        std::shared_ptr<AuthSessionStorage> storage;
        bool autoRefreshToken = true;
        // Report the stored session as the initial-session event even when it has expired (it
        // is then refreshed in the background); otherwise an expired one is reported as none.
        bool emitLocalSessionAsInitialSession = true;
        FlowType flowType = FlowType::pkce;
        QUrl redirectTo;          // none: the service's own default
        QString storageKey;       // empty: "supabase.auth.token"
        QNetworkAccessManager *network = nullptr; // null: the application's manager
        Clock clock;              // null: the system clock
        // The session is refreshed when less than the margin remains. Until then the client
        // sleeps, at most the longest wait at a time (wall-clock time moves on during a suspend
        // while timers do not); within the margin, and after a refresh that failed, it looks
        // again every tick.
        std::chrono::milliseconds autoRefreshTick{30000};
        std::chrono::milliseconds autoRefreshMargin{90000};
        std::chrono::milliseconds autoRefreshLongestWait{300000};
        std::chrono::milliseconds expiryMargin{30000}; // session() refreshes below this
        std::chrono::milliseconds requestTimeout{60000}; // inactivity time-out of each request
    };

    AuthClient(const QUrl &serviceUrl, const QString &apiKey, Options options, QObject *parent = nullptr);
    ~AuthClient() override;

    QString storageKey() const { return m_storageKey; }

    // POST /token?grant_type=password. No captcha token is sent.
    QCoro::Task<AuthResult<AuthSession>> signInWithPassword(QString email, QString password);
    // POST /signup with no user data, no redirect and, in the PKCE flow, a code challenge whose
    // verifier is kept in the storage under storageKey() + "-code-verifier".
    QCoro::Task<AuthResult<SignUpAnswer>> signUp(QString email, QString password);
    // Ends the session here first (storage and memory, then the signed-out event), then asks the
    // service to revoke it; the service's answer cannot bring the session back. An unreachable
    // service is reported; 401, 403 and 404 mean the session was gone already and are not.
    QCoro::Task<std::optional<AuthError>> signOut(SignOutScope scope = SignOutScope::global);
    // The current session, refreshed first when less than expiryMargin of it remains.
    QCoro::Task<AuthResult<AuthSession>> session();
    // The session held in memory right now, as it is (no refresh, no wait for the stored one).
    std::optional<AuthSession> currentSession() const { return m_session; }

    // A new reader of the session-state changes. Its first change is the initial-session event
    // with the session current once the stored one has been read, then every later change.
    std::shared_ptr<AuthStateStream> authStateChanges();

    // Resolves once the stored session has been read (at once if that happened already).
    QCoro::Task<> initialized();
    bool isInitialized() const { return m_initialized; }

Q_SIGNALS:
    // Every change, as the readers of authStateChanges() see it.
    void authStateChanged(const voxendo::AuthStateChange &change);
    void initializationFinished();

private:
    struct Http;

    QCoro::Task<> initialize();
    // One refresh at a time: callers that arrive while one runs share its answer.
    QCoro::Task<AuthResult<AuthSession>> refreshSession(QString refreshToken);
    QCoro::Task<> runRefresh(std::shared_ptr<QPromise<AuthResult<AuthSession>>> promise,
                             QString refreshToken, quint64 generation);
    void autoRefreshTick();
    void scheduleAutoRefresh();

    // Session bookkeeping: memory at once, then the storage off the main thread. saveSession
    // answers false when the session was replaced or removed while it was being stored.
    QCoro::Task<bool> saveSession(AuthSession session);
    QCoro::Task<> removeSession(bool withCodeVerifier);
    QCoro::Task<> storeItem(QString key, QByteArray value);
    void notify(AuthChangeEvent event, const std::optional<AuthSession> &session);

    qint64 nowMs() const;
    QUrl endpoint(const QString &path, const QList<QPair<QString, QString>> &query = {}) const;

    QUrl m_serviceUrl;
    QString m_apiKey;
    Options m_options;
    QString m_storageKey;
    QNetworkAccessManager *m_network;

    std::optional<AuthSession> m_session;
    quint64 m_generation = 0; // bumped on every change of m_session
    bool m_initialized = false;
    std::optional<QFuture<AuthResult<AuthSession>>> m_refreshing;
    std::vector<std::weak_ptr<AuthStateStream>> m_streams;
    QTimer m_refreshTimer;

    // Storage calls are synchronous and may block for as long as a keyring waits for the user to
    // unlock it, so they never run on the main thread. One dedicated thread runs them in the
    // order they were made, so a sign-out's removal can never overtake an earlier save.
    QThreadPool m_storagePool;
    std::optional<QCoro::Task<>> m_initTask;
};

} // namespace voxendo
