#pragma once

#include "account/authsessionstorage.h"
#include "account/keychainerror.h"

#include <QHash>
#include <QMutex>
#include <QStringList>

#include <optional>

namespace voxendo::test {

// An AuthSessionStorage in memory, safe to call from any thread. It remembers whether it was
// ever called on the application's main thread (the auth client must never do that) and can be
// told to fail an operation with a keychain status.
class MemoryAuthStorage : public AuthSessionStorage
{
public:
    void store(const QString &key, const QByteArray &value) override;
    std::optional<QByteArray> retrieve(const QString &key) override;
    void remove(const QString &key) override;

    // Direct access for tests; never counted as calls.
    std::optional<QByteArray> value(const QString &key) const;
    void setValue(const QString &key, const QByteArray &value);
    QStringList keys() const;

    // Every later call of that kind raises KeychainError with `status`; none stops failing.
    void setFailure(KeychainError::Kind kind, std::optional<qint32> status);

    int calls() const;
    bool calledOnMainThread() const;

private:
    void enter(KeychainError::Kind kind);

    mutable QMutex m_mutex;
    QHash<QString, QByteArray> m_items;
    QHash<int, qint32> m_failures;
    int m_calls = 0;
    bool m_calledOnMainThread = false;
};

} // namespace voxendo::test
