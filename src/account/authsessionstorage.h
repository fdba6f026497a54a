#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace voxendo {

// Where the hosted-auth client keeps its session between runs: three keyed operations on
// opaque bytes. The production implementation is KeychainAuthStorage (the system keyring).
//
// Calls are synchronous and may block (a keyring can wait on the user to unlock it), so the
// auth client never calls them on the main thread. Failures are raised as KeychainError.
class AuthSessionStorage
{
public:
    virtual ~AuthSessionStorage() = default;

    virtual void store(const QString &key, const QByteArray &value) = 0;  // KeychainError: unableToStore
    virtual std::optional<QByteArray> retrieve(const QString &key) = 0;   // none when absent; unableToRetrieve
    virtual void remove(const QString &key) = 0;                          // absent is success; unableToRemove
};

} // namespace voxendo
