#include "account/authclient.h"

#include "account/keychainerror.h"
#include "common/endpoints.h"
#include "common/logging.h"
#include "common/network.h"

#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QCoroSignal>
#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRandomGenerator>
#include <QUrlQuery>
#include <QtConcurrent/QtConcurrentRun>

namespace voxendo {

namespace {

const QString defaultStorageKey = QStringLiteral("supabase.auth.token");
const QByteArray apiVersion = "2024-01-01";
const QByteArray post = "POST";

struct HttpAnswer
{
    bool transportFailed = false;
    QString errorString;
    int status = 0;
    QByteArray body;
};

// Holds no pointer to the client, so a client destroyed meanwhile is never touched on resumption.
//
// Throughout this file, arguments of a coroutine called inside co_await are named objects, never
// temporaries: GCC 12 destroys such temporaries twice. And co_return never names an lvalue of
// another type than the task's: QCoro 0.8 moves from it.
QCoro::Task<HttpAnswer> send(QNetworkAccessManager *network, QNetworkRequest request, QByteArray verb,
                             QByteArray body)
{
    QNetworkReply *reply = verb == "GET" ? network->get(request) : network->post(request, body);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> owner(reply, [](QNetworkReply *r) {
        r->deleteLater();
    });
    co_await reply;
    HttpAnswer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        answer.transportFailed = true;
        answer.errorString = reply->errorString();
        co_return answer;
    }
    answer.status = status.toInt();
    answer.body = reply->readAll();
    co_return answer;
}

QString firstNonEmptyString(const QJsonObject &o, std::initializer_list<const char *> keys)
{
    for (const char *key : keys) {
        const QString v = o.value(QLatin1String(key)).toString();
        if (!v.isEmpty())
            return v;
    }
    return {};
}

// The service's error shapes: {"code","message"} with the API-version header, else
// {"code":<int>,"error_code","msg"}, and {"error","error_description"} on older OAuth-style paths.
AuthError errorFrom(const HttpAnswer &answer)
{
    if (answer.transportFailed)
        return AuthError::retryableFetch(0, answer.errorString);
    if (answer.status == 502 || answer.status == 503 || answer.status == 504) {
        return AuthError::retryableFetch(
            answer.status, QStringLiteral("The account service is unavailable (HTTP %1). Please try again.").arg(answer.status));
    }
    const QJsonDocument doc = QJsonDocument::fromJson(answer.body);
    if (!doc.isObject()) {
        return AuthError::unknown(
            answer.status, QStringLiteral("The account service gave an unexpected answer (HTTP %1).").arg(answer.status));
    }
    const QJsonObject o = doc.object();
    QString code = o.value(QStringLiteral("code")).toString();
    if (code.isEmpty())
        code = o.value(QStringLiteral("error_code")).toString();
    if (code.isEmpty())
        code = o.value(QStringLiteral("error")).toString();
    const QString message = firstNonEmptyString(o, {"msg", "message", "error_description", "error"});
    QStringList reasons;
    const QJsonValue weak = o.value(QStringLiteral("weak_password"));
    if (weak.isObject()) {
        for (const QJsonValue &r : weak.toObject().value(QStringLiteral("reasons")).toArray())
            reasons.append(r.toString());
        if (code.isEmpty())
            code = QStringLiteral("weak_password");
    }
    return AuthError::api(answer.status, code, message, reasons);
}

bool isSuccess(const HttpAnswer &answer)
{
    return !answer.transportFailed && answer.status >= 200 && answer.status < 300;
}

QByteArray base64Url(const QByteArray &bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

// What a storage call on the worker thread hands back: never an exception across threads.
struct StorageOutcome
{
    std::optional<QByteArray> value;
    QString failure; // empty on success
};

template <typename F>
StorageOutcome guarded(F &&call)
{
    try {
        return call();
    } catch (const KeychainError &e) {
        return {std::nullopt, e.localizedDescription()};
    } catch (const std::exception &e) {
        return {std::nullopt, QString::fromUtf8(e.what())};
    } catch (...) {
        return {std::nullopt, QStringLiteral("unknown storage failure")};
    }
}

} // namespace

AuthClient::AuthClient(const QUrl &serviceUrl, const QString &apiKey, Options options, QObject *parent)
    : QObject(parent)
    , m_serviceUrl(serviceUrl)
    , m_apiKey(apiKey)
    , m_options(std::move(options))
    , m_storageKey(m_options.storageKey.isEmpty() ? defaultStorageKey : m_options.storageKey)
    , m_network(m_options.network ? m_options.network : Network::manager())
{
    m_storagePool.setMaxThreadCount(1);
    // One timer aimed at the next moment the session needs a look, rather than a periodic tick:
    // an idle Voxendo in the tray then wakes a few times an hour instead of twice a minute.
    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] {
        autoRefreshTick();
        scheduleAutoRefresh();
    });
    m_initTask.emplace(initialize());
}

AuthClient::~AuthClient()
{
    for (const auto &weak : m_streams) {
        if (auto stream = weak.lock())
            stream->close();
    }
}

qint64 AuthClient::nowMs() const
{
    return m_options.clock ? m_options.clock() : QDateTime::currentMSecsSinceEpoch();
}

QUrl AuthClient::endpoint(const QString &path, const QList<QPair<QString, QString>> &query) const
{
    QUrl url = m_serviceUrl;
    QString base = url.path();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    url.setPath(base + QStringLiteral("/auth/v1") + path);
    if (!query.isEmpty()) {
        QUrlQuery q;
        q.setQueryItems(query);
        url.setQuery(q);
    }
    return url;
}

struct AuthClient::Http
{
    static QNetworkRequest request(const AuthClient &client, const QUrl &url, const QString &bearer, bool json)
    {
        QNetworkRequest req = Network::request(url);
        req.setRawHeader("apikey", client.m_apiKey.toUtf8());
        req.setRawHeader("Authorization", "Bearer " + (bearer.isEmpty() ? client.m_apiKey : bearer).toUtf8());
        req.setRawHeader("X-Supabase-Api-Version", apiVersion);
        req.setRawHeader("X-Client-Info", "voxendo/" + Endpoints::appVersion().toUtf8());
        if (json)
            req.setRawHeader("Content-Type", "application/json;charset=UTF-8");
        req.setTransferTimeout(int(client.m_options.requestTimeout.count()));
        return req;
    }
};

// ---- start-up ----

QCoro::Task<> AuthClient::initialize()
{
    QPointer<AuthClient> self(this);
    std::optional<AuthSession> restored;
    if (auto storage = m_options.storage) {
        const QString key = m_storageKey;
        const QFuture<StorageOutcome> reading = QtConcurrent::run(&m_storagePool, [storage, key] {
            return guarded([&] { return StorageOutcome{storage->retrieve(key), {}}; });
        });
        const StorageOutcome read = co_await reading;
        if (!self)
            co_return;
        if (!read.failure.isEmpty()) {
            // Unreadable is not absent (a locked keyring): start signed out, but keep the item.
            qCWarning(lcAuth) << "The stored session could not be read:" << read.failure;
        } else if (read.value) {
            const QJsonDocument doc = QJsonDocument::fromJson(*read.value);
            restored = AuthSession::fromJson(doc.object(), nowMs() / 1000);
            if (!restored) {
                qCWarning(lcAuth) << "The stored session is not usable and is removed";
                const QFuture<StorageOutcome> removing = QtConcurrent::run(&m_storagePool, [storage, key] {
                    return guarded([&] { storage->remove(key); return StorageOutcome{}; });
                });
                co_await removing;
                if (!self)
                    co_return;
            }
        }
    }

    m_session = restored;
    ++m_generation;
    m_initialized = true;

    std::optional<AuthSession> initial = m_session;
    if (initial && !m_options.emitLocalSessionAsInitialSession && initial->expiresAt * 1000 <= nowMs())
        initial.reset();
    for (const auto &weak : m_streams) {
        if (auto stream = weak.lock())
            stream->push({AuthChangeEvent::initialSession, initial});
    }
    Q_EMIT authStateChanged({AuthChangeEvent::initialSession, initial});
    Q_EMIT initializationFinished();

    if (m_options.autoRefreshToken) {
        autoRefreshTick(); // a stored session may be near its end already
        scheduleAutoRefresh();
    }
}

QCoro::Task<> AuthClient::initialized()
{
    if (!m_initialized) {
        auto finished = qCoro(this, &AuthClient::initializationFinished);
        co_await finished;
    }
}

std::shared_ptr<AuthStateStream> AuthClient::authStateChanges()
{
    auto stream = std::make_shared<AuthStateStream>();
    std::erase_if(m_streams, [](const auto &weak) { return weak.expired(); });
    m_streams.push_back(stream);
    if (m_initialized)
        stream->push({AuthChangeEvent::initialSession, m_session});
    return stream;
}

void AuthClient::notify(AuthChangeEvent event, const std::optional<AuthSession> &session)
{
    scheduleAutoRefresh(); // a new session, or none
    for (const auto &weak : m_streams) {
        if (auto stream = weak.lock())
            stream->push({event, session});
    }
    Q_EMIT authStateChanged({event, session});
}

// ---- persistence ----

QCoro::Task<> AuthClient::storeItem(QString key, QByteArray value)
{
    auto storage = m_options.storage;
    if (!storage)
        co_return;
    const QFuture<StorageOutcome> storing = QtConcurrent::run(&m_storagePool, [storage, key, value] {
        return guarded([&] { storage->store(key, value); return StorageOutcome{}; });
    });
    const StorageOutcome outcome = co_await storing;
    // The session still works for this run; it is only not kept for the next one.
    if (!outcome.failure.isEmpty())
        qCWarning(lcAuth) << "Could not keep" << key << "in the session storage:" << outcome.failure;
}

QCoro::Task<bool> AuthClient::saveSession(AuthSession session)
{
    QPointer<AuthClient> self(this);
    m_session = session;
    const quint64 generation = ++m_generation;
    const QByteArray bytes = QJsonDocument(session.toJson()).toJson(QJsonDocument::Compact);
    co_await storeItem(m_storageKey, bytes);
    co_return self && m_generation == generation;
}

QCoro::Task<> AuthClient::removeSession(bool withCodeVerifier)
{
    m_session.reset();
    ++m_generation;
    auto storage = m_options.storage;
    if (!storage)
        co_return;
    QStringList keys{m_storageKey};
    if (withCodeVerifier)
        keys.append(m_storageKey + QStringLiteral("-code-verifier"));
    const QFuture<StorageOutcome> removing = QtConcurrent::run(&m_storagePool, [storage, keys] {
        return guarded([&] {
            for (const QString &key : keys)
                storage->remove(key);
            return StorageOutcome{};
        });
    });
    const StorageOutcome outcome = co_await removing;
    if (!outcome.failure.isEmpty())
        qCWarning(lcAuth) << "Could not remove the stored session:" << outcome.failure;
}

// ---- operations ----

QCoro::Task<AuthResult<AuthSession>> AuthClient::signInWithPassword(QString email, QString password)
{
    QPointer<AuthClient> self(this);
    co_await initialized();
    if (!self)
        co_return AuthError::sessionMissing();

    const QJsonObject body{{QStringLiteral("email"), email}, {QStringLiteral("password"), password}};
    const QNetworkRequest req = Http::request(*this, endpoint(QStringLiteral("/token"), {{QStringLiteral("grant_type"), QStringLiteral("password")}}), {}, true);
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    const HttpAnswer answer = co_await send(m_network, req, post, payload);
    if (!self)
        co_return AuthError::sessionMissing();
    if (!isSuccess(answer))
        co_return errorFrom(answer);

    const std::optional<AuthSession> session =
        AuthSession::fromJson(QJsonDocument::fromJson(answer.body).object(), nowMs() / 1000);
    if (!session)
        co_return AuthError::invalidTokenResponse();
    const AuthSession signedIn = *session;
    if (co_await saveSession(signedIn))
        notify(AuthChangeEvent::signedIn, *session);
    co_return AuthResult<AuthSession>(*session);
}

QCoro::Task<AuthResult<SignUpAnswer>> AuthClient::signUp(QString email, QString password)
{
    QPointer<AuthClient> self(this);
    co_await initialized();
    if (!self)
        co_return AuthError::sessionMissing();

    QJsonObject body{
        {QStringLiteral("email"), email},
        {QStringLiteral("password"), password},
        {QStringLiteral("data"), QJsonObject()},
    };
    if (m_options.flowType == FlowType::pkce) {
        // The verifier only matters if the confirmation link comes back to this client; it is
        // kept beside the session like the service's other clients do.
        QByteArray random(64, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), random.size() / 4);
        const QByteArray verifier = base64Url(random);
        const QString verifierKey = m_storageKey + QStringLiteral("-code-verifier");
        co_await storeItem(verifierKey, verifier);
        if (!self)
            co_return AuthError::sessionMissing();
        const QByteArray challenge = base64Url(QCryptographicHash::hash(verifier, QCryptographicHash::Sha256));
        body.insert(QStringLiteral("code_challenge"), QString::fromLatin1(challenge));
        body.insert(QStringLiteral("code_challenge_method"), QStringLiteral("s256"));
    }
    QList<QPair<QString, QString>> query;
    if (m_options.redirectTo.isValid() && !m_options.redirectTo.isEmpty())
        query.append({QStringLiteral("redirect_to"), m_options.redirectTo.toString()});

    const QNetworkRequest req = Http::request(*this, endpoint(QStringLiteral("/signup"), query), {}, true);
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    const HttpAnswer answer = co_await send(m_network, req, post, payload);
    if (!self)
        co_return AuthError::sessionMissing();
    if (!isSuccess(answer))
        co_return errorFrom(answer);

    const QJsonObject o = QJsonDocument::fromJson(answer.body).object();
    const bool hasSession = o.contains(QStringLiteral("access_token")) && o.contains(QStringLiteral("refresh_token"))
                            && o.contains(QStringLiteral("expires_in"));
    if (hasSession) {
        const std::optional<AuthSession> session = AuthSession::fromJson(o, nowMs() / 1000);
        if (!session)
            co_return AuthError::invalidTokenResponse();
        const AuthSession signedIn = *session;
    if (co_await saveSession(signedIn))
            notify(AuthChangeEvent::signedIn, *session);
        co_return SignUpAnswer{session->user, session};
    }
    // Confirmation pending: the bare user record (some servers wrap it as {"user": ...}).
    const QJsonObject userObject = o.value(QStringLiteral("user")).isObject() ? o.value(QStringLiteral("user")).toObject() : o;
    const std::optional<AuthUser> user = AuthUser::fromJson(userObject);
    if (!user)
        co_return AuthError::invalidTokenResponse();
    co_return SignUpAnswer{*user, std::nullopt};
}

QCoro::Task<std::optional<AuthError>> AuthClient::signOut(SignOutScope scope)
{
    QPointer<AuthClient> self(this);
    co_await initialized();
    if (!self)
        co_return std::nullopt;

    // A global sign-out needs a live access token to reach the other devices' sessions.
    QString accessToken;
    std::optional<AuthError> failure;
    if (m_session) {
        const AuthResult<AuthSession> current = co_await session();
        if (!self)
            co_return std::nullopt;
        if (current.ok())
            accessToken = current.value().accessToken;
        else if (!current.error().endsSession())
            failure = current.error();
    }

    if (scope != SignOutScope::others) {
        // Locally first: whatever the service answers, this device is signed out and the next
        // start does not bring the session back.
        co_await removeSession(true);
        if (!self)
            co_return std::nullopt;
        notify(AuthChangeEvent::signedOut, std::nullopt);
    }

    if (!accessToken.isEmpty()) {
        const QString scopeName = scope == SignOutScope::global ? QStringLiteral("global")
                                  : scope == SignOutScope::local ? QStringLiteral("local")
                                                                 : QStringLiteral("others");
        const QNetworkRequest req = Http::request(
            *this, endpoint(QStringLiteral("/logout"), {{QStringLiteral("scope"), scopeName}}), accessToken, true);
        const QByteArray noBody;
        const HttpAnswer answer = co_await send(m_network, req, post, noBody);
        if (!isSuccess(answer)) {
            const AuthError error = errorFrom(answer);
            // The session was over already: nothing left to revoke.
            const bool gone = error.kind() == AuthError::Kind::api
                              && (error.status() == 401 || error.status() == 403 || error.status() == 404);
            if (!gone)
                failure = error;
        }
    }
    co_return failure;
}

QCoro::Task<AuthResult<AuthSession>> AuthClient::session()
{
    QPointer<AuthClient> self(this);
    co_await initialized();
    if (!self || !m_session)
        co_return AuthError::sessionMissing();
    if (m_session->expiresAt * 1000 - nowMs() > m_options.expiryMargin.count())
        co_return AuthResult<AuthSession>(*m_session); // a bare lvalue here would be moved from
    const QString refreshToken = m_session->refreshToken;
    co_return co_await refreshSession(refreshToken);
}

// ---- refresh ----

QCoro::Task<AuthResult<AuthSession>> AuthClient::refreshSession(QString refreshToken)
{
    if (!m_refreshing) {
        auto promise = std::make_shared<QPromise<AuthResult<AuthSession>>>();
        promise->start();
        m_refreshing = promise->future();
        runRefresh(promise, refreshToken, m_generation);
    }
    const QFuture<AuthResult<AuthSession>> shared = *m_refreshing;
    co_return co_await shared;
}

QCoro::Task<> AuthClient::runRefresh(std::shared_ptr<QPromise<AuthResult<AuthSession>>> promise,
                                     QString refreshToken, quint64 generation)
{
    QPointer<AuthClient> self(this);
    const QJsonObject body{{QStringLiteral("refresh_token"), refreshToken}};
    const QNetworkRequest req = Http::request(
        *this, endpoint(QStringLiteral("/token"), {{QStringLiteral("grant_type"), QStringLiteral("refresh_token")}}), {}, true);
    const QByteArray payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
    const HttpAnswer answer = co_await send(m_network, req, post, payload);

    auto settle = [&](AuthResult<AuthSession> result) {
        if (self)
            m_refreshing.reset();
        promise->addResult(std::move(result));
        promise->finish();
    };
    if (!self) {
        settle(AuthError::sessionMissing());
        co_return;
    }
    if (!isSuccess(answer)) {
        const AuthError error = errorFrom(answer);
        // Transport failures, 429 and 5xx leave the session alone for a later attempt; only a
        // refresh token that can never work again ends it.
        if (error.endsSession() && m_generation == generation) {
            co_await removeSession(false);
            if (self)
                notify(AuthChangeEvent::signedOut, std::nullopt);
        }
        settle(error);
        co_return;
    }
    const std::optional<AuthSession> session =
        AuthSession::fromJson(QJsonDocument::fromJson(answer.body).object(), nowMs() / 1000);
    if (!session) {
        settle(AuthError::invalidTokenResponse());
        co_return;
    }
    // Signed out or signed in anew while the request ran: that answer is stale.
    if (m_generation != generation) {
        settle(AuthError::sessionMissing());
        co_return;
    }
    const AuthSession refreshed = *session;
    const bool current = co_await saveSession(refreshed);
    if (current)
        notify(AuthChangeEvent::tokenRefreshed, *session);
    settle(current ? AuthResult<AuthSession>(*session) : AuthResult<AuthSession>(AuthError::sessionMissing()));
}

void AuthClient::autoRefreshTick()
{
    if (!m_session || m_refreshing)
        return;
    const qint64 remainingMs = m_session->expiresAt * 1000 - nowMs();
    if (remainingMs < m_options.autoRefreshMargin.count())
        refreshSession(m_session->refreshToken); // runs on; its outcome is announced as an event
}

void AuthClient::scheduleAutoRefresh()
{
    if (!m_options.autoRefreshToken || !m_initialized)
        return;
    if (!m_session) {
        m_refreshTimer.stop();
        return;
    }
    const qint64 untilDue = m_session->expiresAt * 1000 - m_options.autoRefreshMargin.count() - nowMs();
    const qint64 wait = untilDue > 0 ? std::min<qint64>(untilDue, m_options.autoRefreshLongestWait.count())
                                     : m_options.autoRefreshTick.count();
    m_refreshTimer.start(std::chrono::milliseconds(wait));
}

} // namespace voxendo
