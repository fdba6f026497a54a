#include "account/keychainerror.h"

namespace voxendo {

KeychainError::KeychainError(Kind kind, qint32 status)
    : m_kind(kind)
    , m_status(status)
    , m_what(localizedDescription().toUtf8())
{
}

QString KeychainError::localizedDescription() const
{
    switch (m_kind) {
    case Kind::unableToStore:
        return QStringLiteral("Unable to store item in Keychain: %1").arg(m_status);
    case Kind::unableToRetrieve:
        return QStringLiteral("Unable to retrieve item from Keychain: %1").arg(m_status);
    case Kind::unableToRemove:
        return QStringLiteral("Unable to remove item from Keychain: %1").arg(m_status);
    }
    return {};
}

} // namespace voxendo
