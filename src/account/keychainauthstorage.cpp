#include "account/keychainauthstorage.h"

#include "account/keychainerror.h"

namespace voxendo {

namespace Attribute = platform::SecretAttribute;
namespace SecretStatus = platform::SecretStatus;

KeychainAuthStorage::KeychainAuthStorage(QString service, QString accessGroup,
                                         std::shared_ptr<platform::SecretStore> secrets)
    : m_service(std::move(service))
    , m_accessGroup(std::move(accessGroup))
    , m_secrets(std::move(secrets))
{
}

platform::SecretAttributes KeychainAuthStorage::query(const QString &key, bool inAccessGroup) const
{
    platform::SecretAttributes attributes;
    attributes.insert(Attribute::service, m_service);
    attributes.insert(Attribute::account, key);
    if (inAccessGroup)
        attributes.insert(Attribute::accessGroup, m_accessGroup);
    return attributes;
}

void KeychainAuthStorage::store(const QString &key, const QByteArray &value)
{
    // Both deletions are best effort: the add below reports whatever really went wrong.
    m_secrets->deleteMatching(query(key));
    // Without the group this also removes a copy left under the same account in another group.
    m_secrets->deleteMatching(query(key, false));
    const platform::Status added = m_secrets->add(query(key), value);
    if (!added.ok())
        throw KeychainError(KeychainError::Kind::unableToStore, added.code);
}

std::optional<QByteArray> KeychainAuthStorage::retrieve(const QString &key)
{
    platform::Result<QByteArray> found = m_secrets->copyMatching(query(key));
    if (found.status.code == SecretStatus::itemNotFound)
        return std::nullopt;
    if (!found.ok())
        throw KeychainError(KeychainError::Kind::unableToRetrieve, found.status.code);
    return found.value;
}

void KeychainAuthStorage::remove(const QString &key)
{
    const platform::Status removed = m_secrets->deleteMatching(query(key));
    if (!removed.ok() && removed.code != SecretStatus::itemNotFound)
        throw KeychainError(KeychainError::Kind::unableToRemove, removed.code);
}

} // namespace voxendo
