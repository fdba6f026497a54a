#include "support/authtestrig.h"

#include "support/memoryauthstorage.h"

#include <QCoroTask>
#include <QDateTime>
#include <QTest>

namespace voxendo::test {

AuthTestRig::AuthTestRig(std::shared_ptr<AuthSessionStorage> s)
    : storage(s ? std::move(s) : std::make_shared<MemoryAuthStorage>())
    , nowMs(QDateTime::currentMSecsSinceEpoch())
{
    qputenv("VOXENDO_EXTRA_CA_FILE", HttpsFakeServer::trustedCaPath().toUtf8());
    if (!server.listen())
        qFatal("AuthTestRig: the fake server cannot listen");
    auth.setClock([this] { return nowMs; });
}

AuthClient::Options AuthTestRig::clientOptions()
{
    AuthClient::Options options;
    options.storage = storage;
    options.network = &network;
    options.clock = [this] { return nowMs; };
    options.autoRefreshTick = refreshTick;
    options.autoRefreshLongestWait = refreshTick; // the fake clock jumps; look often
    options.requestTimeout = requestTimeout;
    return options;
}

std::unique_ptr<AuthClient> AuthTestRig::makeClient()
{
    return std::make_unique<AuthClient>(auth.serviceUrl(), auth.anonKey(), clientOptions());
}

std::unique_ptr<AuthManager> AuthTestRig::makeManager(const QString &configUrl)
{
    const QString url = configUrl.isNull() ? server.baseUrl().toString() + QStringLiteral("/config") : configUrl;
    auto manager = std::make_unique<AuthManager>(
        url,
        [this](const QUrl &serviceUrl, const QString &anonKey) {
            return std::make_unique<AuthClient>(serviceUrl, anonKey, clientOptions());
        },
        [this](std::chrono::milliseconds pause) -> QCoro::Task<> {
            pauses.append(pause);
            co_return;
        },
        [this] { return runningVersion; },
        &network);
    manager->setConfigRequestTimeout(requestTimeout);
    return manager;
}

std::unique_ptr<AuthManager> AuthTestRig::configuredManager()
{
    auth.serveConfig();
    auto manager = makeManager();
    QCoro::waitFor(manager->configure());
    return manager;
}

void verifyStoredSessionSignsNextRunIn(std::shared_ptr<AuthSessionStorage> storage)
{
    AuthTestRig rig(storage);
    rig.auth.addUser(QStringLiteral("ada@example.com"), QStringLiteral("correct horse"));
    {
        auto firstRun = rig.configuredManager();
        QVERIFY(firstRun->isConfigured());
        QVERIFY(QCoro::waitFor(firstRun->signIn(QStringLiteral("ada@example.com"), QStringLiteral("correct horse"))));
    }

    auto nextRun = rig.configuredManager();
    QTRY_VERIFY(nextRun->isAuthenticated());
    QCOMPARE(nextRun->userEmail(), std::optional<QString>(QStringLiteral("ada@example.com")));
    QCOMPARE(rig.auth.requestCount(FakeAuthService::Endpoint::passwordGrant), 1);
    const std::optional<QString> token = QCoro::waitFor(nextRun->currentAccessToken());
    QVERIFY(token && !token->isEmpty());
    QCOMPARE(rig.auth.requestCount(FakeAuthService::Endpoint::refreshGrant), 0);

    // Signing out leaves nothing behind for the run after.
    QCoro::waitFor(nextRun->signOut());
    auto thirdRun = rig.makeClient();
    QCoro::waitFor(thirdRun->initialized());
    QVERIFY(!thirdRun->currentSession());
}

} // namespace voxendo::test
