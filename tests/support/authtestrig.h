#pragma once

#include "account/authclient.h"
#include "account/authmanager.h"
#include "support/fakeauthservice.h"
#include "support/httpsfakeserver.h"

#include <QNetworkAccessManager>

#include <chrono>
#include <memory>

namespace voxendo::test {

// What an account test needs: an HTTPS fake server that plays the hosted-auth service and the
// backend's /config, a network manager of its own (one manager reuses TLS sessions), a clock the
// test moves, and a session storage (in memory unless the test passes another, e.g. the keyring).
// Both the clients it makes and the fake service read the same clock.
class AuthTestRig
{
public:
    explicit AuthTestRig(std::shared_ptr<AuthSessionStorage> storage = {});

    HttpsFakeServer server;
    FakeAuthService auth{server};
    QNetworkAccessManager network;
    std::shared_ptr<AuthSessionStorage> storage;
    qint64 nowMs;
    std::chrono::milliseconds refreshTick{30000};
    std::chrono::milliseconds requestTimeout{60000};
    std::optional<QString> runningVersion = QStringLiteral("1.2.3");
    QList<std::chrono::milliseconds> pauses; // back-off pauses the managers asked for

    void advance(std::chrono::seconds by) { nowMs += std::chrono::milliseconds(by).count(); }

    AuthClient::Options clientOptions();
    std::unique_ptr<AuthClient> makeClient();
    // A manager reading <server>/config (or `configUrl`); its pauses are recorded, not waited.
    std::unique_ptr<AuthManager> makeManager(const QString &configUrl = {});
    // A manager whose configure() has finished against auth.serveConfig().
    std::unique_ptr<AuthManager> configuredManager();
};

// A session kept by one run's client signs the next run in without a sign-in, through
// `storage`. Shared so the same check runs against every AuthSessionStorage.
void verifyStoredSessionSignsNextRunIn(std::shared_ptr<AuthSessionStorage> storage);

} // namespace voxendo::test
