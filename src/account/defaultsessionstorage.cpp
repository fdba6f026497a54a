#include "account/defaultsessionstorage.h"

namespace voxendo {

std::shared_ptr<AuthSessionStorage> makeDefaultSessionStorage(const QString &service, const QString &accessGroup)
{
    Q_UNUSED(service);
    Q_UNUSED(accessGroup);
    // Wired to the keyring implementation of AuthSessionStorage once it is part of the build.
    return nullptr;
}

} // namespace voxendo
