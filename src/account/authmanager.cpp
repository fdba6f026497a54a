#include "account/authmanager.h"

#include "account/defaultsessionstorage.h"
#include "common/console.h"
#include "common/endpoints.h"
#include "common/network.h"

#include <QCoreApplication>
#include <QCoroNetworkReply>
#include <QCoroTimer>
#include <QJSEngine>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

#include <cmath>

namespace voxendo {

namespace {

const QString notConfiguredMessage = QStringLiteral("Not configured. Please try again.");
const QString confirmEmailMessage = QStringLiteral("Please check your email to confirm your account.");

// Matches the system URL parser's idea of "parsable": no empty text, no illegal characters.
std::optional<QUrl> parseUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (text.isEmpty() || !url.isValid())
        return std::nullopt;
    return url;
}

// A required member: present and a string.
bool readRequired(const QJsonObject &o, const char *key, QString &out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString())
        return false;
    out = v.toString();
    return true;
}

// An optional member: missing or null is none; any other non-string fails the document.
bool readOptional(const QJsonObject &o, const char *key, std::optional<QString> &out)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) {
        out.reset();
        return true;
    }
    if (!v.isString())
        return false;
    out = v.toString();
    return true;
}

// A whole piece of digits with an optional sign, as a 64-bit integer; anything else is 0.
qint64 versionNumber(QStringView piece)
{
    qsizetype i = 0;
    bool negative = false;
    if (!piece.isEmpty() && (piece[0] == QLatin1Char('+') || piece[0] == QLatin1Char('-'))) {
        negative = piece[0] == QLatin1Char('-');
        i = 1;
    }
    if (i == piece.size())
        return 0;
    quint64 value = 0;
    for (; i < piece.size(); ++i) {
        const char16_t c = piece[i].unicode();
        if (c < u'0' || c > u'9')
            return 0;
        value = value * 10 + quint64(c - u'0');
        if (value > quint64(std::numeric_limits<qint64>::max()) + (negative ? 1 : 0))
            return 0;
    }
    return negative ? qint64(0 - value) : qint64(value);
}

QList<qint64> versionNumbers(const QString &text)
{
    QList<qint64> numbers;
    for (const QStringView piece : QStringView(text).split(QLatin1Char('.'), Qt::SkipEmptyParts))
        numbers.append(versionNumber(piece));
    return numbers;
}

struct ConfigAnswer
{
    bool transportFailed = false;
    QString errorString;
    int status = 0; // 0: not an HTTP answer
    QByteArray body;
};

// Holds no pointer to the manager, so resumption never touches a manager that is gone.
QCoro::Task<ConfigAnswer> fetchConfig(QNetworkAccessManager *network, QUrl url, std::chrono::milliseconds timeout)
{
    QNetworkRequest request = Network::request(url);
    request.setTransferTimeout(int(timeout.count()));
    QNetworkReply *reply = network->get(request);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> owner(reply, [](QNetworkReply *r) {
        r->deleteLater();
    });
    co_await reply;
    ConfigAnswer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        answer.transportFailed = reply->error() != QNetworkReply::NoError;
        answer.errorString = reply->errorString();
        co_return answer;
    }
    answer.status = status.toInt();
    answer.body = reply->readAll();
    co_return answer;
}

} // namespace

// ---- AppConfig ----

std::optional<AuthManager::AppConfig> AuthManager::AppConfig::decode(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    AppConfig config;
    if (!readRequired(o, "supabaseURL", config.supabaseURL) || !readRequired(o, "supabaseAnonKey", config.supabaseAnonKey)
        || !readOptional(o, "latestVersion", config.latestVersion) || !readOptional(o, "minVersion", config.minVersion))
        return std::nullopt;
    return config;
}

// ---- life cycle ----

AuthManager::AuthManager(QString configUrl, ClientFactory clientFactory, Sleep sleep, VersionSource runningVersion,
                         QNetworkAccessManager *network, QObject *parent)
    : QObject(parent)
    , m_configUrl(std::move(configUrl))
    , m_clientFactory(std::move(clientFactory))
    , m_sleep(std::move(sleep))
    , m_runningVersion(std::move(runningVersion))
    , m_network(network ? network : Network::manager())
{
}

AuthManager::~AuthManager()
{
    // Ends the listener before the client it reads from goes away.
    if (m_authStateStream)
        m_authStateStream->close();
    m_authStateTask.reset();
    m_client.reset();
}

AuthManager *AuthManager::shared()
{
    static AuthManager *const instance = [] {
        auto clientFactory = [](const QUrl &serviceUrl, const QString &anonKey) {
            AuthClient::Options options;
            options.storage = makeDefaultSessionStorage(QStringLiteral("com.voxendo.app.auth"),
                                                        QStringLiteral("K8V3N6Q2P5.com.voxendo.app"));
            options.autoRefreshToken = true;
            options.emitLocalSessionAsInitialSession = true;
            options.flowType = AuthClient::FlowType::pkce;
            return std::make_unique<AuthClient>(serviceUrl, anonKey, std::move(options));
        };
        auto sleep = [](std::chrono::milliseconds pause) -> QCoro::Task<> { co_await QCoro::sleepFor(pause); };
        auto runningVersion = []() -> std::optional<QString> {
            if (QCoreApplication::applicationVersion().isEmpty())
                return std::nullopt;
            return Endpoints::appVersion();
        };
        QString base = Endpoints::backendBaseUrl();
        while (base.endsWith(QLatin1Char('/')))
            base.chop(1);
        return new AuthManager(base + QStringLiteral("/config"), clientFactory, sleep, runningVersion);
    }();
    return instance;
}

AuthManager *AuthManager::create(QQmlEngine *, QJSEngine *)
{
    AuthManager *instance = shared();
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

// ---- configuration ----

QCoro::Task<> AuthManager::configure()
{
    QPointer<AuthManager> self(this);
    setIsConfiguring(true);

    const std::optional<QUrl> configUrl = parseUrl(m_configUrl);
    if (!configUrl) {
        Console::printLine(QStringLiteral("[Auth] Invalid config URL"));
        setIsConfiguring(false);
        co_return;
    }

    // Named: GCC 12 destroys temporaries passed to a coroutine inside co_await twice.
    const QUrl fetchUrl = *configUrl;
    QByteArray body;
    int attempt = 0;
    for (;;) {
        const ConfigAnswer answer = co_await fetchConfig(m_network, fetchUrl, m_configRequestTimeout);
        if (!self)
            co_return;
        if (answer.transportFailed) {
            Console::printLine(QStringLiteral("[Auth] Failed to fetch config (attempt %1): %2")
                                   .arg(attempt + 1)
                                   .arg(answer.errorString));
        } else if (answer.status != 200) {
            Console::printLine(QStringLiteral("[Auth] Failed to fetch config: bad response (attempt %1)").arg(attempt + 1));
        } else {
            body = answer.body;
            break;
        }
        const int next = attempt + 1;
        if (next == 3) {
            Console::printLine(QStringLiteral("[Auth] All config fetch retries exhausted"));
            setIsConfiguring(false);
            co_return;
        }
        attempt = next;
        const std::chrono::milliseconds pause = std::chrono::seconds(qint64(std::pow(2.0, next)));
        co_await m_sleep(pause);
        if (!self)
            co_return;
    }

    const std::optional<AppConfig> config = AppConfig::decode(body);
    if (!config) {
        Console::printLine(QStringLiteral("[Auth] Failed to decode config"));
        setIsConfiguring(false);
        co_return;
    }
    const std::optional<QUrl> serviceUrl = parseUrl(config->supabaseURL);
    if (!serviceUrl) {
        Console::printLine(QStringLiteral("[Auth] Invalid Supabase URL"));
        setIsConfiguring(false);
        co_return;
    }

    if (m_authStateStream)
        m_authStateStream->close();
    m_authStateTask.reset();
    m_client = m_clientFactory(*serviceUrl, config->supabaseAnonKey);
    setIsConfigured(true);
    checkVersion(*config);
    Console::printLine(QStringLiteral("[Auth] Configuration loaded successfully"));
    m_authStateStream = m_client->authStateChanges();
    m_authStateTask.emplace(listen(m_authStateStream));
    setIsConfiguring(false);
}

void AuthManager::checkVersion(const AppConfig &config)
{
    const std::optional<QString> running = m_runningVersion ? m_runningVersion() : std::nullopt;
    if (!running)
        return;
    if (config.minVersion && compareVersions(*running, *config.minVersion) < 0) {
        setUpdateRequired(true);
        setUpdateAvailable(false);
        return;
    }
    if (config.latestVersion && compareVersions(*running, *config.latestVersion) < 0)
        setUpdateAvailable(true);
}

int AuthManager::compareVersions(const QString &a, const QString &b)
{
    const QList<qint64> left = versionNumbers(a);
    const QList<qint64> right = versionNumbers(b);
    for (qsizetype i = 0; i < 3; ++i) {
        const qint64 x = left.value(i, 0);
        const qint64 y = right.value(i, 0);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

// ---- session ----

QCoro::Task<> AuthManager::listen(std::shared_ptr<AuthStateStream> stream)
{
    // Closing the stream (the manager's destructor does) ends the loop without touching `this`.
    for (;;) {
        AuthStateStream::Awaiter next = stream->next();
        const std::optional<AuthStateChange> change = co_await next;
        if (!change)
            break;
        handleAuthStateChange(change->event, change->session);
    }
}

void AuthManager::handleAuthStateChange(AuthChangeEvent event, const std::optional<AuthSession> &session)
{
    switch (event) {
    case AuthChangeEvent::initialSession:
    case AuthChangeEvent::signedIn:
        if (session)
            setSignedIn(session->user);
        break;
    case AuthChangeEvent::signedOut:
        setSignedOut();
        break;
    case AuthChangeEvent::tokenRefreshed:
    case AuthChangeEvent::userUpdated:
        if (session) {
            setCurrentUser(session->user);
            setUserEmail(session->user.email());
        }
        break;
    case AuthChangeEvent::passwordRecovery:
    case AuthChangeEvent::userDeleted:
    case AuthChangeEvent::mfaChallengeVerified:
        break;
    }
}

QCoro::Task<bool> AuthManager::signIn(QString email, QString password)
{
    QPointer<AuthManager> self(this);
    if (!m_client) {
        setError(notConfiguredMessage);
        co_return false;
    }
    setIsLoading(true);
    setError(std::nullopt);
    const AuthResult<AuthSession> result = co_await m_client->signInWithPassword(email, password);
    if (!self)
        co_return false;
    if (!result.ok()) {
        setError(result.error().localizedDescription());
        Console::printLine(QStringLiteral("[Auth] Sign in error: ") + result.error().description());
        setIsLoading(false);
        co_return false;
    }
    setSignedIn(result.value().user);
    Console::printLine(QStringLiteral("[Auth] Signed in successfully"));
    setIsLoading(false);
    co_return true;
}

QCoro::Task<bool> AuthManager::signUp(QString email, QString password)
{
    QPointer<AuthManager> self(this);
    if (!m_client) {
        setError(notConfiguredMessage);
        co_return false;
    }
    setIsLoading(true);
    setError(std::nullopt);
    const AuthResult<SignUpAnswer> result = co_await m_client->signUp(email, password);
    if (!self)
        co_return false;
    if (!result.ok()) {
        setError(result.error().localizedDescription());
        Console::printLine(QStringLiteral("[Auth] Sign up error: ") + result.error().description());
        setIsLoading(false);
        co_return false;
    }
    if (!result.value().session) {
        setError(confirmEmailMessage);
        Console::printLine(QStringLiteral("[Auth] Email confirmation required"));
        setIsLoading(false);
        co_return false;
    }
    setSignedIn(result.value().session->user);
    Console::printLine(QStringLiteral("[Auth] Signed up and logged in"));
    setIsLoading(false);
    co_return true;
}

QCoro::Task<> AuthManager::signOut()
{
    QPointer<AuthManager> self(this);
    setIsLoading(true);
    if (m_client) {
        const AuthClient::SignOutScope scope = AuthClient::SignOutScope::global;
        const std::optional<AuthError> failure = co_await m_client->signOut(scope);
        if (!self)
            co_return;
        if (failure)
            Console::printLine(QStringLiteral("[Auth] Sign out error: ") + failure->description());
        else
            Console::printLine(QStringLiteral("[Auth] Signed out"));
    }
    setSignedOut();
    setIsLoading(false);
}

QCoro::Task<std::optional<QString>> AuthManager::currentAccessToken()
{
    if (!m_client)
        co_return std::nullopt;
    const AuthResult<AuthSession> session = co_await m_client->session();
    if (!session.ok())
        co_return std::nullopt;
    co_return session.value().accessToken;
}

void AuthManager::beginSignIn(const QString &email, const QString &password)
{
    QCoro::connect(signIn(email, password), this, [this](bool ok) { Q_EMIT signInFinished(ok); });
}

void AuthManager::beginSignUp(const QString &email, const QString &password)
{
    QCoro::connect(signUp(email, password), this, [this](bool ok) { Q_EMIT signUpFinished(ok); });
}

void AuthManager::beginSignOut()
{
    QCoro::connect(signOut(), this, [this] { Q_EMIT signOutFinished(); });
}

// ---- published state ----

void AuthManager::setSignedIn(const AuthUser &user)
{
    // isAuthenticated last: its observers find the user and address in place.
    setCurrentUser(user);
    setUserEmail(user.email());
    setIsAuthenticated(true);
}

void AuthManager::setSignedOut()
{
    setCurrentUser(std::nullopt);
    setUserEmail(std::nullopt);
    setIsAuthenticated(false);
}

QVariant AuthManager::currentUserVariant() const
{
    return m_currentUser ? QVariant::fromValue(*m_currentUser) : QVariant();
}

void AuthManager::setCurrentUser(std::optional<AuthUser> user)
{
    if (m_currentUser == user)
        return;
    m_currentUser = std::move(user);
    Q_EMIT currentUserChanged();
}

void AuthManager::setUserEmail(std::optional<QString> email)
{
    if (m_userEmail == email)
        return;
    m_userEmail = std::move(email);
    Q_EMIT userEmailChanged();
}

void AuthManager::setError(std::optional<QString> error)
{
    if (m_error == error)
        return;
    m_error = std::move(error);
    Q_EMIT errorChanged();
}

void AuthManager::setErrorText(const QString &text)
{
    setError(text.isEmpty() ? std::nullopt : std::optional<QString>(text));
}

#define VOXENDO_SETTER(name, member, signal) \
    void AuthManager::name(bool value)       \
    {                                        \
        if (member == value)                 \
            return;                          \
        member = value;                      \
        Q_EMIT signal();                     \
    }

VOXENDO_SETTER(setIsAuthenticated, m_isAuthenticated, isAuthenticatedChanged)
VOXENDO_SETTER(setIsLoading, m_isLoading, isLoadingChanged)
VOXENDO_SETTER(setIsConfiguring, m_isConfiguring, isConfiguringChanged)
VOXENDO_SETTER(setIsConfigured, m_isConfigured, isConfiguredChanged)
VOXENDO_SETTER(setUpdateAvailable, m_updateAvailable, updateAvailableChanged)
VOXENDO_SETTER(setUpdateRequired, m_updateRequired, updateRequiredChanged)

#undef VOXENDO_SETTER

} // namespace voxendo
