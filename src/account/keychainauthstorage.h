#pragma once

#include "account/authsessionstorage.h"
#include "platform/secretstore.h"

#include <memory>

namespace voxendo {

// The auth client's session storage in the system keyring: one generic-password item per key,
// under a fixed service and access group. No cache: every call goes to the keyring.
//
// A value is replaced by deleting and adding, never updated in place. Calls may be made from
// any thread; they may block up to the secret store's bound, so the auth client keeps them off
// the UI thread. Failures are raised as KeychainError carrying the secret store's status.
class KeychainAuthStorage final : public AuthSessionStorage
{
public:
    KeychainAuthStorage(QString service, QString accessGroup,
                        std::shared_ptr<platform::SecretStore> secrets = platform::systemSecretStore());

    const QString &service() const { return m_service; }
    const QString &accessGroup() const { return m_accessGroup; }

    void store(const QString &key, const QByteArray &value) override;
    std::optional<QByteArray> retrieve(const QString &key) override;
    void remove(const QString &key) override;

private:
    platform::SecretAttributes query(const QString &key, bool inAccessGroup = true) const;

    const QString m_service;
    const QString m_accessGroup;
    const std::shared_ptr<platform::SecretStore> m_secrets;
};

} // namespace voxendo
