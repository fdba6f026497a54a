#pragma once

#include "platform/status.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <chrono>
#include <memory>

namespace voxendo::platform {

// The system's secret storage, reduced to the three keychain operations the application needs.
// Items are generic passwords identified by string attributes: "service", "account" and
// optionally "accessGroup". A query names the attributes to match; a query without
// "accessGroup" matches the items of that service and account in every access group.
using SecretAttributes = QMap<QString, QString>;

namespace SecretAttribute {
inline const QString service = QStringLiteral("service");
inline const QString account = QStringLiteral("account");
inline const QString accessGroup = QStringLiteral("accessGroup");
} // namespace SecretAttribute

// Status codes of every SecretStore call, carried in Status::code. Keychain callers show them
// in decimal ("Unable to store item in Keychain: -26002"), so they are negative and stable.
// Not-found keeps the keychain's own number because callers treat it specially.
namespace SecretStatus {
inline constexpr int success = 0;
inline constexpr int itemNotFound = -25300; // no item matches the query
inline constexpr int unavailable = -26001;  // no session bus, or no Secret Service on it
inline constexpr int locked = -26002;       // the keyring is locked and was not unlocked
inline constexpr int timedOut = -26003;     // no answer in time (e.g. an unlock prompt is open)
inline constexpr int failed = -26004;       // any other refusal or error of the Secret Service
inline constexpr int invalidQuery = -26005; // the query lacks "service" or "account"

// A readable sentence for a status code.
inline QString describe(int status)
{
    switch (status) {
    case success:
        return QStringLiteral("Success.");
    case itemNotFound:
        return QStringLiteral("The item could not be found in the keyring.");
    case unavailable:
        return QStringLiteral("No Secret Service (keyring) is reachable on the session bus.");
    case locked:
        return QStringLiteral("The keyring is locked.");
    case timedOut:
        return QStringLiteral("The keyring did not answer in time.");
    case failed:
        return QStringLiteral("The keyring refused the request.");
    case invalidQuery:
        return QStringLiteral("A keyring query must name a service and an account.");
    }
    return QStringLiteral("Unknown keyring status %1.").arg(status);
}

// A Status for `status`: its sentence, followed by the platform's own words when known.
inline Status make(int status, const QString &detail = {})
{
    if (status == success)
        return Status::success();
    QString message = describe(status);
    if (!detail.isEmpty())
        message += QLatin1Char(' ') + detail;
    return Status::failure(status, message);
}
} // namespace SecretStatus

class SecretStore
{
public:
    virtual ~SecretStore() = default;

    // Adds one item holding `data`. An item with exactly the same attributes is replaced.
    virtual Status add(const SecretAttributes &attributes, const QByteArray &data) = 0;
    // The data of one matching item (an arbitrary one if several match);
    // SecretStatus::itemNotFound when none does.
    virtual Result<QByteArray> copyMatching(const SecretAttributes &query) = 0;
    // Deletes every matching item; SecretStatus::itemNotFound when none matched.
    virtual Status deleteMatching(const SecretAttributes &query) = 0;
};

// How long a call may keep its caller waiting. A keyring can block for as long as an unlock
// prompt stays open, so the main thread gets a short bound (the UI freezes at most that long)
// and other threads a long one (time for the user to type the keyring password). A call that
// runs out of time answers SecretStatus::timedOut; it is dropped if it had not started yet, and
// may still complete if it had.
struct SecretStoreLimits
{
    std::chrono::milliseconds mainThreadWait{3000};
    std::chrono::milliseconds otherThreadWait{60000};
};

// The platform's secret store (Secret Service on Linux). Calls of every instance share one
// connection and run one at a time, in order.
std::shared_ptr<SecretStore> createSecretStore(SecretStoreLimits limits = {});

// The process-wide store with the default limits, shared by every production caller.
std::shared_ptr<SecretStore> systemSecretStore();

} // namespace voxendo::platform
