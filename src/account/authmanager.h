#pragma once

#include "account/authclient.h"
#include "account/authtypes.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QJSEngine;
class QNetworkAccessManager;
class QQmlEngine;

namespace voxendo {

// The account manager: fetches the backend's configuration, creates the hosted-auth client from
// it, raises the update flags, and keeps a published copy of who is signed in. Main thread only.
class AuthManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(bool isAuthenticated READ isAuthenticated NOTIFY isAuthenticatedChanged)
    Q_PROPERTY(QVariant currentUser READ currentUserVariant NOTIFY currentUserChanged)   // AuthUser or null
    Q_PROPERTY(QString userEmail READ userEmailText NOTIFY userEmailChanged)            // "" when none
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(bool isConfiguring READ isConfiguring NOTIFY isConfiguringChanged)
    Q_PROPERTY(QString error READ errorText WRITE setErrorText NOTIFY errorChanged)     // "" when none
    Q_PROPERTY(bool isConfigured READ isConfigured NOTIFY isConfiguredChanged)
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY updateAvailableChanged)
    Q_PROPERTY(bool updateRequired READ updateRequired NOTIFY updateRequiredChanged)

public:
    // The backend's configuration document (GET <backend>/config).
    struct AppConfig
    {
        QString supabaseURL;
        QString supabaseAnonKey;
        std::optional<QString> latestVersion;
        std::optional<QString> minVersion;

        // A JSON object with the two required strings; the optional ones may be missing or
        // null. Any other type for a listed member fails the whole document.
        static std::optional<AppConfig> decode(const QByteArray &json);
    };

    // Creates the hosted-auth client (and its session storage) from the service URL and key.
    using ClientFactory = std::function<std::unique_ptr<AuthClient>(const QUrl &serviceUrl, const QString &anonKey)>;
    // Suspends the caller for the back-off pause between configuration attempts.
    using Sleep = std::function<QCoro::Task<>(std::chrono::milliseconds)>;
    // The running version, none when it cannot be read.
    using VersionSource = std::function<std::optional<QString>()>;

    // `configUrl` is the complete configuration URL text. A null network manager means the
    // application's own.
    AuthManager(QString configUrl, ClientFactory clientFactory, Sleep sleep, VersionSource runningVersion,
                QNetworkAccessManager *network = nullptr, QObject *parent = nullptr);
    ~AuthManager() override;

    // Inactivity time-out of each configuration request: the system's usual 60 s unless a test
    // shortens it. A server that stops answering fails that attempt instead of stalling start-up.
    void setConfigRequestTimeout(std::chrono::milliseconds timeout) { m_configRequestTimeout = timeout; }

    // The process-wide instance, created on first use (from the main thread); it starts nothing.
    static AuthManager *shared();
    // QML singleton: the same instance, owned by C++.
    static AuthManager *create(QQmlEngine *, QJSEngine *);

    bool isAuthenticated() const { return m_isAuthenticated; }
    std::optional<AuthUser> currentUser() const { return m_currentUser; }
    std::optional<QString> userEmail() const { return m_userEmail; }
    bool isLoading() const { return m_isLoading; }
    bool isConfiguring() const { return m_isConfiguring; }
    std::optional<QString> error() const { return m_error; }
    void setError(std::optional<QString> error);
    bool isConfigured() const { return m_isConfigured; }
    bool updateAvailable() const { return m_updateAvailable; }
    bool updateRequired() const { return m_updateRequired; }

    QVariant currentUserVariant() const;
    QString userEmailText() const { return m_userEmail.value_or(QString()); }
    QString errorText() const { return m_error.value_or(QString()); }
    void setErrorText(const QString &text); // "" clears

    // Configuration phase: up to three fetches with 2 s and 4 s pauses, then the client, the
    // update flags and the session listener. Never fails to its caller; reports on the console.
    QCoro::Task<> configure();
    void checkVersion(const AppConfig &config);
    // -1, 0 or 1 as `a` is older than, equal to or newer than `b` (major, minor, patch only).
    static int compareVersions(const QString &a, const QString &b);

    // Account operations; the reason of a false result is in `error`.
    QCoro::Task<bool> signIn(QString email, QString password);
    QCoro::Task<bool> signUp(QString email, QString password);
    QCoro::Task<> signOut();
    // The access token of the current session (refreshed by the client when due), else none.
    QCoro::Task<std::optional<QString>> currentAccessToken();

    void handleAuthStateChange(AuthChangeEvent event, const std::optional<AuthSession> &session);

    // The client, for tests and diagnostics; null until configured.
    AuthClient *client() const { return m_client.get(); }

    // For QML: start an operation; its end is announced by the matching signal.
    Q_INVOKABLE void beginSignIn(const QString &email, const QString &password);
    Q_INVOKABLE void beginSignUp(const QString &email, const QString &password);
    Q_INVOKABLE void beginSignOut();
    Q_INVOKABLE void clearError() { setError(std::nullopt); }

Q_SIGNALS:
    void isAuthenticatedChanged();
    void currentUserChanged();
    void userEmailChanged();
    void isLoadingChanged();
    void isConfiguringChanged();
    void errorChanged();
    void isConfiguredChanged();
    void updateAvailableChanged();
    void updateRequiredChanged();

    void signInFinished(bool signedIn);
    void signUpFinished(bool signedIn);
    void signOutFinished();

private:
    QCoro::Task<> listen(std::shared_ptr<AuthStateStream> stream);
    void setSignedIn(const AuthUser &user);
    void setSignedOut();
    void setCurrentUser(std::optional<AuthUser> user);
    void setUserEmail(std::optional<QString> email);
    void setIsAuthenticated(bool value);
    void setIsLoading(bool value);
    void setIsConfiguring(bool value);
    void setIsConfigured(bool value);
    void setUpdateAvailable(bool value);
    void setUpdateRequired(bool value);

    QString m_configUrl;
    ClientFactory m_clientFactory;
    Sleep m_sleep;
    VersionSource m_runningVersion;
    QNetworkAccessManager *m_network;
    std::chrono::milliseconds m_configRequestTimeout{60000};

    bool m_isAuthenticated = false;
    std::optional<AuthUser> m_currentUser;
    std::optional<QString> m_userEmail;
    bool m_isLoading = false;
    bool m_isConfiguring = true; // a window opened before configure() shows its loading state
    std::optional<QString> m_error;
    bool m_isConfigured = false;
    bool m_updateAvailable = false;
    bool m_updateRequired = false;

    std::unique_ptr<AuthClient> m_client;
    std::shared_ptr<AuthStateStream> m_authStateStream;
    std::optional<QCoro::Task<>> m_authStateTask;
};

} // namespace voxendo
