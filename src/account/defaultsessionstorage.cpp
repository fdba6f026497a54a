#include "account/defaultsessionstorage.h"

#include "account/keychainauthstorage.h"

namespace voxendo {

std::shared_ptr<AuthSessionStorage> makeDefaultSessionStorage(const QString &service, const QString &accessGroup)
{
    return std::make_shared<KeychainAuthStorage>(service, accessGroup);
}

} // namespace voxendo
