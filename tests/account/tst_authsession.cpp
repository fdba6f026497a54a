// The account session: sign-in, sign-up and sign-out through the manager, the hosted-auth
// client's session keeping (storage, restore, refresh) and the state listener.
#include "account/authclient.h"
#include "account/authmanager.h"
#include "account/keychainauthstorage.h"
#include "support/authtestrig.h"
#include "support/capture.h"
#include "support/memoryauthstorage.h"
#include "support/testsession.h"

#include <QCoroTask>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace voxendo;
using namespace voxendo::test;
using namespace std::chrono_literals;
using Endpoint = FakeAuthService::Endpoint;

Q_DECLARE_METATYPE(voxendo::test::FakeResponse)

namespace {

const QString kEmail = QStringLiteral("ada@example.com");
const QString kPassword = QStringLiteral("correct horse");
const QString kSessionKey = QStringLiteral("supabase.auth.token");

enum SignInSetup { wrongPassword, unknownUser, unconfirmed, scripted, offline };

QJsonObject storedSession(const MemoryAuthStorage &storage)
{
    const std::optional<QByteArray> bytes = storage.value(kSessionKey);
    return bytes ? QJsonDocument::fromJson(*bytes).object() : QJsonObject();
}

QString storedRefreshToken(const MemoryAuthStorage &storage)
{
    return storedSession(storage).value(QStringLiteral("refresh_token")).toString();
}

// A service answer in the shape the client asks for (it always sends the API-version header).
FakeResponse serviceError(int status, const QString &code, const QString &message)
{
    return FakeResponse::json(status, QJsonObject{{QStringLiteral("code"), code}, {QStringLiteral("message"), message}})
        .withHeader("X-Supabase-Api-Version", "2024-01-01");
}

AuthSession sessionFor(const QString &id, const QString &email)
{
    QJsonObject user{{QStringLiteral("id"), id}};
    if (!email.isEmpty())
        user.insert(QStringLiteral("email"), email);
    return *AuthSession::fromJson(QJsonObject{{QStringLiteral("access_token"), QStringLiteral("a")},
                                              {QStringLiteral("refresh_token"), QStringLiteral("r")},
                                              {QStringLiteral("expires_in"), 3600},
                                              {QStringLiteral("user"), user}},
                                  0);
}

} // namespace

class TestAuthSession : public QObject
{
    Q_OBJECT

    std::shared_ptr<MemoryAuthStorage> m_storage;
    std::unique_ptr<AuthTestRig> m_rig;

    AuthTestRig &rig() { return *m_rig; }
    MemoryAuthStorage &storage() { return *m_storage; }

    std::unique_ptr<AuthManager> signedInManager()
    {
        rig().auth.addUser(kEmail, kPassword);
        auto manager = rig().configuredManager();
        if (!QCoro::waitFor(manager->signIn(kEmail, kPassword)))
            qWarning("sign-in of the fixture failed");
        return manager;
    }

private Q_SLOTS:
    void init()
    {
        m_storage = std::make_shared<MemoryAuthStorage>();
        m_rig = std::make_unique<AuthTestRig>(m_storage);
    }
    void cleanup()
    {
        QVERIFY2(!m_storage->calledOnMainThread(), "the session storage was called on the main thread");
        m_rig.reset();
        m_storage.reset();
    }

    void signInPublishesTheSession()
    {
        const QString userId = rig().auth.addUser(kEmail, kPassword);
        auto manager = rig().configuredManager();
        QList<bool> loading;
        connect(manager.get(), &AuthManager::isLoadingChanged, this, [&] { loading.append(manager->isLoading()); });
        // Observers of isAuthenticated find the user and the address in place already.
        std::optional<QString> emailWhenAuthenticated;
        connect(manager.get(), &AuthManager::isAuthenticatedChanged, this,
                [&] { emailWhenAuthenticated = manager->userEmail(); });

        ConsoleCapture console;
        QVERIFY(QCoro::waitFor(manager->signIn(kEmail, kPassword)));
        QVERIFY(manager->isAuthenticated());
        QCOMPARE(manager->userEmail(), std::optional<QString>(kEmail));
        QCOMPARE(manager->currentUser()->id(), userId);
        QCOMPARE(emailWhenAuthenticated, std::optional<QString>(kEmail));
        QCOMPARE(loading, (QList<bool>{true, false}));
        QCOMPARE(manager->error(), std::nullopt);
        QCOMPARE(console.lines(), QStringList{"[Auth] Signed in successfully"});

        const QList<RecordedRequest> requests = rig().auth.requests(Endpoint::passwordGrant);
        QCOMPARE(requests.size(), 1);
        const RecordedRequest &r = requests.first();
        QCOMPARE(r.target, QByteArray("/auth/v1/token?grant_type=password"));
        QCOMPARE(r.header("apikey"), QByteArray("test-anon-key"));
        QCOMPARE(r.header("Authorization"), QByteArray("Bearer test-anon-key"));
        QCOMPARE(r.header("X-Supabase-Api-Version"), QByteArray("2024-01-01"));
        QVERIFY(r.header("Content-Type").startsWith("application/json"));
        // Exactly what was typed, nothing else (no captcha, no PKCE on password sign-in).
        QCOMPARE(r.json(), (QJsonObject{{"email", kEmail}, {"password", kPassword}}));

        const QJsonObject stored = storedSession(storage());
        QVERIFY(rig().auth.refreshTokenActive(stored.value("refresh_token").toString()));
        QVERIFY(!stored.value("access_token").toString().isEmpty());
        QCOMPARE(stored.value("user").toObject().value("id").toString(), userId);
    }

    void signInFailures_data()
    {
        QTest::addColumn<int>("setup");
        QTest::addColumn<QString>("message");     // empty: any (the transport's own text)
        QTest::addColumn<QString>("description"); // the start of the console's {error}
        QTest::addColumn<FakeResponse>("answer");
        QTest::newRow("wrong password") << int(wrongPassword) << "Invalid login credentials"
                                        << "AuthError.api(status: 400, code: \"invalid_credentials\", "
                                           "message: \"Invalid login credentials\")"
                                        << FakeResponse();
        QTest::newRow("unknown user") << int(unknownUser) << "Invalid login credentials"
                                      << "AuthError.api(status: 400, code: \"invalid_credentials\"" << FakeResponse();
        QTest::newRow("e-mail not confirmed") << int(unconfirmed) << "Email not confirmed"
                                              << "AuthError.api(status: 400, code: \"email_not_confirmed\"" << FakeResponse();
        QTest::newRow("rate limited") << int(scripted) << "Request rate limit reached"
                                      << "AuthError.api(status: 429, code: \"over_request_rate_limit\""
                                      << serviceError(429, "over_request_rate_limit", "Request rate limit reached");
        QTest::newRow("unversioned error shape")
            << int(scripted) << "Invalid login credentials" << "AuthError.api(status: 400, code: \"invalid_credentials\""
            << FakeResponse::json(400, QJsonObject{{"code", 400}, {"error_code", "invalid_credentials"},
                                                   {"msg", "Invalid login credentials"}});
        QTest::newRow("oauth error shape")
            << int(scripted) << "Invalid login credentials" << "AuthError.api(status: 400, code: \"invalid_grant\""
            << FakeResponse::json(400, QJsonObject{{"error", "invalid_grant"},
                                                   {"error_description", "Invalid login credentials"}});
        QTest::newRow("gateway without message")
            << int(scripted) << "An unexpected error occurred. Please try again." << "AuthError.api(status: 400, code: \"\""
            << FakeResponse::json(400, QJsonObject());
        QTest::newRow("service unavailable")
            << int(scripted) << "The account service is unavailable (HTTP 503). Please try again."
            << "AuthError.retryableFetch(status: 503" << FakeResponse::noContent(503);
        QTest::newRow("not the service's JSON")
            << int(scripted) << "The account service gave an unexpected answer (HTTP 500)."
            << "AuthError.unknown(status: 500" << FakeResponse::text(500, "<html>oops</html>", "text/html");
        QTest::newRow("offline") << int(offline) << QString() << "AuthError.retryableFetch(status: 0, message: \""
                                 << FakeResponse();
        QTest::newRow("service stalls") << int(scripted) << QString() << "AuthError.retryableFetch(status: 0, message: \""
                                        << FakeResponse::hang();
    }
    void signInFailures()
    {
        QFETCH(int, setup);
        QFETCH(QString, message);
        QFETCH(QString, description);
        QFETCH(FakeResponse, answer);
        rig().requestTimeout = 200ms; // the stalled service fails the request instead of spinning forever
        rig().auth.addUser(kEmail, kPassword, /*confirmed*/ setup != unconfirmed);
        QString email = kEmail;
        QString password = kPassword;
        switch (SignInSetup(setup)) {
        case wrongPassword: password = "wrong password"; break;
        case unknownUser: email = "nobody@example.com"; break;
        case unconfirmed: break;
        case scripted: rig().auth.scriptNext(Endpoint::passwordGrant, answer); break;
        case offline: rig().auth.setOffline(true); break;
        }
        auto manager = rig().configuredManager();

        ConsoleCapture console;
        QVERIFY(!QCoro::waitFor(manager->signIn(email, password)));
        QVERIFY(!manager->isAuthenticated());
        QVERIFY(!manager->isLoading());
        QVERIFY(manager->error().has_value());
        if (message.isEmpty())
            QVERIFY(!manager->error()->isEmpty());
        else
            QCOMPARE(*manager->error(), message);
        QCOMPARE(console.lines().size(), 1);
        const QString line = console.lines().first();
        QVERIFY2(line.startsWith("[Auth] Sign in error: " + description), qPrintable(line));
        QCOMPARE(storage().value(kSessionKey), std::nullopt);
    }

    void failedThenSuccessfulSignInClearsError()
    {
        rig().auth.addUser(kEmail, kPassword);
        auto manager = rig().configuredManager();
        QVERIFY(!QCoro::waitFor(manager->signIn(kEmail, "typo")));
        QCOMPARE(manager->error(), std::optional<QString>("Invalid login credentials"));

        QList<std::optional<QString>> errors;
        connect(manager.get(), &AuthManager::errorChanged, this, [&] { errors.append(manager->error()); });
        QVERIFY(QCoro::waitFor(manager->signIn(kEmail, kPassword)));
        QCOMPARE(manager->error(), std::nullopt);
        QCOMPARE(errors, QList<std::optional<QString>>{std::nullopt}); // emptied before asking
    }

    void operationsBeforeConfiguration()
    {
        auto manager = rig().makeManager();
        QSignalSpy loading(manager.get(), &AuthManager::isLoadingChanged);
        ConsoleCapture console;

        QVERIFY(!QCoro::waitFor(manager->signIn(kEmail, kPassword)));
        QCOMPARE(manager->error(), std::optional<QString>("Not configured. Please try again."));
        manager->clearError();
        QVERIFY(!QCoro::waitFor(manager->signUp(kEmail, kPassword)));
        QCOMPARE(manager->error(), std::optional<QString>("Not configured. Please try again."));
        QCOMPARE(loading.size(), 0);

        QCoro::waitFor(manager->signOut());
        QVERIFY(!manager->isAuthenticated());
        QVERIFY(!manager->isLoading());
        QCOMPARE(QCoro::waitFor(manager->currentAccessToken()), std::nullopt);
        QCOMPARE(console.lines(), QStringList());
        QCOMPARE(rig().server.requests().size(), 0);
    }

    void signUpOutcomes_data()
    {
        QTest::addColumn<bool>("confirmation");
        QTest::addColumn<bool>("existing");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("line"); // console line, or its start
        QTest::newRow("usable at once") << false << false << kPassword << true << QString()
                                        << "[Auth] Signed up and logged in";
        QTest::newRow("confirmation pending") << true << false << kPassword << false
                                              << "Please check your email to confirm your account."
                                              << "[Auth] Email confirmation required";
        QTest::newRow("already registered") << false << true << kPassword << false << "User already registered"
                                            << "[Auth] Sign up error: AuthError.api(status: 422, code: \"user_already_exists\"";
        // With confirmation on the service does not tell: the user sees the confirmation request.
        QTest::newRow("already registered, confirmation on")
            << true << true << kPassword << false << "Please check your email to confirm your account."
            << "[Auth] Email confirmation required";
        QTest::newRow("weak password") << false << false << "12345" << false
                                       << "Password should be at least 6 characters."
                                       << "[Auth] Sign up error: AuthError.api(status: 422, code: \"weak_password\", "
                                          "message: \"Password should be at least 6 characters.\", reasons: [\"length\"])";
    }
    void signUpOutcomes()
    {
        QFETCH(bool, confirmation);
        QFETCH(bool, existing);
        QFETCH(QString, password);
        QFETCH(bool, signedIn);
        QFETCH(QString, error);
        QFETCH(QString, line);
        rig().auth.setRequireEmailConfirmation(confirmation);
        if (existing)
            rig().auth.addUser(kEmail, "older password");
        auto manager = rig().configuredManager();

        ConsoleCapture console;
        QCOMPARE(QCoro::waitFor(manager->signUp(kEmail, password)), signedIn);
        QCOMPARE(manager->isAuthenticated(), signedIn);
        QCOMPARE(manager->userEmail(), signedIn ? std::optional<QString>(kEmail) : std::nullopt);
        QCOMPARE(manager->error(), error.isEmpty() ? std::nullopt : std::optional<QString>(error));
        QVERIFY(!manager->isLoading());
        QCOMPARE(console.lines().size(), 1);
        QVERIFY2(console.lines().first().startsWith(line), qPrintable(console.lines().first()));
        QCOMPARE(storage().value(kSessionKey).has_value(), signedIn);

        // PKCE: the challenge sent is the hash of the verifier kept in the storage.
        const RecordedRequest request = rig().auth.requests(Endpoint::signup).first();
        const QJsonObject body = request.json();
        QCOMPARE(body.value("email").toString(), kEmail);
        QCOMPARE(body.value("password").toString(), password);
        QCOMPARE(body.value("data").toObject(), QJsonObject());
        QCOMPARE(body.value("code_challenge_method").toString(), QString("s256"));
        const std::optional<QByteArray> verifier = storage().value(kSessionKey + "-code-verifier");
        QVERIFY(verifier);
        QVERIFY(QRegularExpression("^[A-Za-z0-9_-]{43,128}$").match(QString::fromLatin1(*verifier)).hasMatch());
        const QByteArray challenge = QCryptographicHash::hash(*verifier, QCryptographicHash::Sha256)
                                         .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        QCOMPARE(body.value("code_challenge").toString().toLatin1(), challenge);
        QVERIFY(!request.queryItems().hasQueryItem("redirect_to"));
    }

    void signOutEndsTheSessionEverywhere()
    {
        auto manager = signedInManager();
        const QString accessToken = storedSession(storage()).value("access_token").toString();
        const QString otherDevice = rig().auth.issueSession(kEmail).value("refresh_token").toString();
        QList<bool> loading;
        connect(manager.get(), &AuthManager::isLoadingChanged, this, [&] { loading.append(manager->isLoading()); });

        ConsoleCapture console;
        QCoro::waitFor(manager->signOut());
        QCOMPARE(console.lines(), QStringList{"[Auth] Signed out"});
        QVERIFY(!manager->isAuthenticated());
        QCOMPARE(manager->userEmail(), std::nullopt);
        QCOMPARE(manager->currentUser(), std::nullopt);
        QCOMPARE(loading, (QList<bool>{true, false}));

        const RecordedRequest logout = rig().auth.requests(Endpoint::logout).first();
        QCOMPARE(logout.target, QByteArray("/auth/v1/logout?scope=global"));
        QCOMPARE(logout.header("Authorization"), "Bearer " + accessToken.toUtf8());
        QVERIFY(!rig().auth.refreshTokenActive(otherDevice));
        QCOMPARE(storage().keys(), QStringList());
        QCOMPARE(QCoro::waitFor(manager->currentAccessToken()), std::nullopt);
    }

    void signOutOfflineStillSignsOut()
    {
        auto manager = signedInManager();
        rig().auth.setOffline(true);
        ConsoleCapture console;
        QCoro::waitFor(manager->signOut());
        QCOMPARE(console.lines().size(), 1);
        QVERIFY2(console.lines().first().startsWith("[Auth] Sign out error: AuthError.retryableFetch(status: 0, "),
                 qPrintable(console.lines().first()));
        QVERIFY(!manager->isAuthenticated());
        QVERIFY(!manager->isLoading());
        QCOMPARE(manager->error(), std::nullopt);

        // The next start does not bring the session back.
        QCOMPARE(storage().value(kSessionKey), std::nullopt);
        rig().auth.setOffline(false);
        auto nextRun = rig().configuredManager();
        QCoro::waitFor(nextRun->client()->initialized());
        QCoreApplication::processEvents();
        QVERIFY(!nextRun->isAuthenticated());
    }

    void currentAccessTokenFollowsTheSession()
    {
        rig().auth.addUser(kEmail, kPassword);
        auto manager = rig().configuredManager();
        {
            LogCapture log;
            ConsoleCapture console;
            QCOMPARE(QCoro::waitFor(manager->currentAccessToken()), std::nullopt);
            QCOMPARE(console.lines(), QStringList());
            QCOMPARE(log.messages("com.voxendo.app.Auth"), QStringList());
        }
        QVERIFY(QCoro::waitFor(manager->signIn(kEmail, kPassword)));
        const QString first = storedSession(storage()).value("access_token").toString();
        QCOMPARE(QCoro::waitFor(manager->currentAccessToken()), std::optional<QString>(first));
        QCOMPARE(rig().auth.requestCount(Endpoint::refreshGrant), 0);

        // With less than 30 s left the client refreshes before answering.
        rig().advance(3575s);
        const std::optional<QString> fresh = QCoro::waitFor(manager->currentAccessToken());
        QVERIFY(fresh && !fresh->isEmpty());
        QVERIFY(*fresh != first);
        QCOMPARE(rig().auth.requestCount(Endpoint::refreshGrant), 1);
        QCOMPARE(storedSession(storage()).value("access_token").toString(), *fresh);
        QVERIFY(rig().auth.refreshTokenActive(storedRefreshToken(storage())));
        QVERIFY(manager->isAuthenticated());
        QCOMPARE(manager->userEmail(), std::optional<QString>(kEmail));

        QCoro::waitFor(manager->signOut());
        QCOMPARE(QCoro::waitFor(manager->currentAccessToken()), std::nullopt);
    }

    void concurrentCallersShareOneRefresh()
    {
        rig().auth.addUser(kEmail, kPassword);
        auto client = rig().makeClient();
        QVERIFY(QCoro::waitFor(client->signInWithPassword(kEmail, kPassword)).ok());
        rig().advance(3600s);
        // Refresh tokens work once: a second request would be refused as already used.
        QCoro::Task<AuthResult<AuthSession>> a = client->session();
        QCoro::Task<AuthResult<AuthSession>> b = client->session();
        QCoro::Task<AuthResult<AuthSession>> c = client->session();
        const AuthResult<AuthSession> ra = QCoro::waitFor(a);
        const AuthResult<AuthSession> rb = QCoro::waitFor(b);
        const AuthResult<AuthSession> rc = QCoro::waitFor(c);
        QVERIFY(ra.ok() && rb.ok() && rc.ok());
        QCOMPARE(rb.value().accessToken, ra.value().accessToken);
        QCOMPARE(rc.value().accessToken, ra.value().accessToken);
        QCOMPARE(rig().auth.requestCount(Endpoint::refreshGrant), 1);
    }

    void storedSessionSignsNextRunIn()
    {
        verifyStoredSessionSignsNextRunIn(m_storage);
    }

    void storedSessionSignsNextRunInThroughTheKeyring()
    {
        VOXENDO_REQUIRE_SESSION(voxendo::test::SessionPart::Keyring);
        auto keyring = std::make_shared<KeychainAuthStorage>(QStringLiteral("com.voxendo.app.auth.test"),
                                                             QStringLiteral("K8V3N6Q2P5.com.voxendo.app"));
        verifyStoredSessionSignsNextRunIn(keyring);
        keyring->remove(QStringLiteral("supabase.auth.token"));
    }

    void expiredStoredSessionIsReportedThenRefreshed()
    {
        rig().auth.addUser(kEmail, kPassword);
        const QJsonObject seeded = rig().auth.issueSession(kEmail);
        storage().setValue(kSessionKey, QJsonDocument(seeded).toJson());
        rig().advance(2h);

        auto client = rig().makeClient();
        auto stream = client->authStateChanges();
        const std::optional<AuthStateChange> first = QCoro::waitFor(stream->next());
        QVERIFY(first);
        QCOMPARE(first->event, AuthChangeEvent::initialSession);
        QVERIFY(first->session);
        QCOMPARE(first->session->accessToken, seeded.value("access_token").toString()); // as stored, expired

        const std::optional<AuthStateChange> second = QCoro::waitFor(stream->next());
        QVERIFY(second);
        QCOMPARE(second->event, AuthChangeEvent::tokenRefreshed);
        QVERIFY(second->session->accessToken != first->session->accessToken);
        QCOMPARE(second->session->user.email(), std::optional<QString>(kEmail));
        QCOMPARE(rig().auth.requestCount(Endpoint::refreshGrant), 1);
        QVERIFY(!rig().auth.refreshTokenActive(seeded.value("refresh_token").toString()));
        QCOMPARE(storedRefreshToken(storage()), second->session->refreshToken);

        // The manager on top is signed in by the initial event alone.
        auto manager = rig().configuredManager();
        QTRY_VERIFY(manager->isAuthenticated());
        QCOMPARE(rig().auth.requestCount(Endpoint::passwordGrant), 0);
    }

    void refusedOrFailedRefresh_data()
    {
        QTest::addColumn<FakeResponse>("answer"); // Drop: offline for that request
        QTest::addColumn<bool>("sessionKept");
        QTest::newRow("already used") << serviceError(400, "refresh_token_already_used", "Invalid Refresh Token: Already Used") << false;
        QTest::newRow("not found") << serviceError(400, "refresh_token_not_found", "Invalid Refresh Token: Refresh Token Not Found") << false;
        QTest::newRow("session not found") << serviceError(400, "session_not_found", "Session not found") << false;
        QTest::newRow("session expired") << serviceError(400, "session_expired", "Session expired") << false;
        QTest::newRow("legacy invalid_grant")
            << FakeResponse::json(400, QJsonObject{{"error", "invalid_grant"}, {"error_description", "Invalid Refresh Token"}})
            << false;
        QTest::newRow("offline") << FakeResponse::drop() << true;
        QTest::newRow("rate limited") << serviceError(429, "over_request_rate_limit", "Request rate limit reached") << true;
        QTest::newRow("server error") << serviceError(500, "unexpected_failure", "Unexpected failure") << true;
        QTest::newRow("gateway timeout") << FakeResponse::noContent(504) << true;
        QTest::newRow("banned user") << serviceError(400, "user_banned", "User is banned") << true;
    }
    void refusedOrFailedRefresh()
    {
        QFETCH(FakeResponse, answer);
        QFETCH(bool, sessionKept);
        auto manager = signedInManager();
        const QByteArray stored = *storage().value(kSessionKey);
        rig().advance(3590s);

        if (answer.action == FakeResponse::Action::Drop)
            rig().auth.setOffline(true);
        else
            rig().auth.scriptNext(Endpoint::refreshGrant, answer);
        QCOMPARE(QCoro::waitFor(manager->currentAccessToken()), std::nullopt);
        // Offline, the network layer itself resends a dropped request; otherwise one request.
        if (answer.action == FakeResponse::Action::Drop)
            QVERIFY(rig().auth.requestCount(Endpoint::refreshGrant) >= 1);
        else
            QCOMPARE(rig().auth.requestCount(Endpoint::refreshGrant), 1);
        rig().auth.setOffline(false);

        if (sessionKept) {
            QCOMPARE(storage().value(kSessionKey), std::optional<QByteArray>(stored));
            QCoreApplication::processEvents();
            QVERIFY(manager->isAuthenticated());
            // Once the service answers again, the kept session recovers.
            QVERIFY(QCoro::waitFor(manager->currentAccessToken()).has_value());
        } else {
            QCOMPARE(storage().value(kSessionKey), std::nullopt);
            QTRY_VERIFY(!manager->isAuthenticated());
            QCOMPARE(manager->userEmail(), std::nullopt);
            QCOMPARE(QCoro::waitFor(manager->currentAccessToken()), std::nullopt);
        }
    }

    void refreshesOnItsOwnBeforeExpiry()
    {
        rig().refreshTick = 20ms;
        auto manager = signedInManager();
        const QString first = storedRefreshToken(storage());
        QTest::qWait(100); // several ticks with an hour left: nothing to do
        QCOMPARE(rig().auth.requestCount(Endpoint::refreshGrant), 0);

        // 80 s left: within three ticks of the 30 s production cadence. The service cannot be
        // reached at first: the session is kept and looked at again every tick, not in a loop.
        rig().auth.setOffline(true);
        rig().advance(3520s);
        QTest::qWait(300);
        const int attempts = rig().auth.requestCount(Endpoint::refreshGrant);
        QVERIFY2(attempts >= 1 && attempts <= 16, qPrintable(QString::number(attempts)));
        QVERIFY(manager->isAuthenticated());

        rig().auth.setOffline(false);
        QTRY_COMPARE(rig().auth.requestCount(Endpoint::refreshGrant), attempts + 1);
        QTRY_VERIFY(storedRefreshToken(storage()) != first);
        QVERIFY(rig().auth.refreshTokenActive(storedRefreshToken(storage())));
        QVERIFY(manager->isAuthenticated());
    }

    void unreadableStorageIsNotAbsence()
    {
        rig().auth.addUser(kEmail, kPassword);
        const QByteArray seeded = QJsonDocument(rig().auth.issueSession(kEmail)).toJson();
        storage().setValue(kSessionKey, seeded);
        storage().setFailure(KeychainError::Kind::unableToRetrieve, -25308); // a locked keyring

        LogCapture log;
        auto manager = rig().configuredManager();
        QCoro::waitFor(manager->client()->initialized());
        QCoreApplication::processEvents();
        QVERIFY(!manager->isAuthenticated());
        QCOMPARE(storage().value(kSessionKey), std::optional<QByteArray>(seeded)); // kept for a later start
        QVERIFY(log.contains("Unable to retrieve item from Keychain: -25308"));

        // A storage that cannot save does not stop a sign-in; the session lasts for this run.
        storage().setFailure(KeychainError::Kind::unableToStore, -25293);
        QVERIFY(QCoro::waitFor(manager->signIn(kEmail, kPassword)));
        QVERIFY(manager->isAuthenticated());
        QVERIFY(QCoro::waitFor(manager->currentAccessToken()).has_value());
        QVERIFY(log.contains("Unable to store item in Keychain: -25293"));
    }

    void unusableStoredSessionIsRemoved()
    {
        storage().setValue(kSessionKey, "{\"access_token\":\"only this\"}");
        auto client = rig().makeClient();
        auto stream = client->authStateChanges();
        const std::optional<AuthStateChange> first = QCoro::waitFor(stream->next());
        QCOMPARE(first->event, AuthChangeEvent::initialSession);
        QVERIFY(!first->session);
        QCOMPARE(storage().value(kSessionKey), std::nullopt);
    }

    void stateChanges_data()
    {
        QTest::addColumn<bool>("signedInBefore");
        QTest::addColumn<int>("event");
        QTest::addColumn<QVariant>("email");       // the event's session's user e-mail; null: no session
        QTest::addColumn<bool>("authenticated");
        QTest::addColumn<QVariant>("userEmail");   // null: none
        QTest::addColumn<int>("authenticatedChanges");
        const auto e = [](AuthChangeEvent ev) { return int(ev); };
        const QVariant none;
        const QVariant ada("ada@example.com");
        const QVariant grace("grace@example.com");
        QTest::newRow("initial session") << false << e(AuthChangeEvent::initialSession) << ada << true << ada << 1;
        QTest::newRow("initial, no session") << false << e(AuthChangeEvent::initialSession) << none << false << none << 0;
        QTest::newRow("signed in") << false << e(AuthChangeEvent::signedIn) << ada << true << ada << 1;
        QTest::newRow("signed in, no session") << false << e(AuthChangeEvent::signedIn) << none << false << none << 0;
        QTest::newRow("signed in, no address") << false << e(AuthChangeEvent::signedIn) << QVariant("") << true << none << 1;
        QTest::newRow("signed out") << true << e(AuthChangeEvent::signedOut) << none << false << none << 1;
        QTest::newRow("signed out, with session") << true << e(AuthChangeEvent::signedOut) << ada << false << none << 1;
        QTest::newRow("refreshed, new address") << true << e(AuthChangeEvent::tokenRefreshed) << grace << true << grace << 0;
        QTest::newRow("refreshed while out") << false << e(AuthChangeEvent::tokenRefreshed) << grace << false << grace << 0;
        QTest::newRow("refreshed, no session") << true << e(AuthChangeEvent::tokenRefreshed) << none << true << ada << 0;
        QTest::newRow("user updated") << true << e(AuthChangeEvent::userUpdated) << grace << true << grace << 0;
        QTest::newRow("password recovery") << true << e(AuthChangeEvent::passwordRecovery) << grace << true << ada << 0;
        QTest::newRow("user deleted") << true << e(AuthChangeEvent::userDeleted) << none << true << ada << 0;
        QTest::newRow("mfa verified") << false << e(AuthChangeEvent::mfaChallengeVerified) << ada << false << none << 0;
    }
    void stateChanges()
    {
        QFETCH(bool, signedInBefore);
        QFETCH(int, event);
        QFETCH(QVariant, email);
        QFETCH(bool, authenticated);
        QFETCH(QVariant, userEmail);
        QFETCH(int, authenticatedChanges);
        auto manager = rig().makeManager();
        if (signedInBefore)
            manager->handleAuthStateChange(AuthChangeEvent::signedIn, sessionFor("u1", "ada@example.com"));
        QSignalSpy changes(manager.get(), &AuthManager::isAuthenticatedChanged);
        QSignalSpy loading(manager.get(), &AuthManager::isLoadingChanged);
        QSignalSpy error(manager.get(), &AuthManager::errorChanged);

        const std::optional<AuthSession> session =
            email.isNull() ? std::nullopt : std::optional<AuthSession>(sessionFor("u2", email.toString()));
        manager->handleAuthStateChange(AuthChangeEvent(event), session);
        QCOMPARE(manager->isAuthenticated(), authenticated);
        QCOMPARE(manager->userEmail(), userEmail.isNull() ? std::nullopt : std::optional<QString>(userEmail.toString()));
        QCOMPARE(changes.size(), authenticatedChanges);
        QCOMPARE(loading.size(), 0);
        QCOMPARE(error.size(), 0);
    }

    void secretsStayOutOfLogs()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("com.voxendo.*=true"));
        LogCapture log;
        ConsoleCapture console;
        const QString password = QStringLiteral("s3cret-Pa55word");
        rig().auth.addUser(kEmail, password);
        auto manager = rig().configuredManager();
        QVERIFY(!QCoro::waitFor(manager->signIn(kEmail, "wr0ng-Pa55word")));
        storage().setFailure(KeychainError::Kind::unableToStore, -1);
        QVERIFY(QCoro::waitFor(manager->signIn(kEmail, password)));
        const AuthSession first = *manager->client()->currentSession();
        rig().advance(3590s);
        QVERIFY(QCoro::waitFor(manager->currentAccessToken()));
        const AuthSession second = *manager->client()->currentSession();
        rig().auth.setOffline(true);
        QCoro::waitFor(manager->signOut());
        QVERIFY(!QCoro::waitFor(manager->signUp("new@example.com", password)));

        QVERIFY(!console.lines().isEmpty());
        for (const QString &secret : {password, QStringLiteral("wr0ng-Pa55word"), first.accessToken, first.refreshToken,
                                      second.accessToken, second.refreshToken, rig().auth.anonKey()})
            QVERIFY2(!log.contains(secret), "a secret reached a log or console line");
        QLoggingCategory::setFilterRules(QString());
    }
};

QTEST_MAIN(TestAuthSession)
#include "tst_authsession.moc"
