#pragma once

#include "account/authsessionstorage.h"

#include <QString>
#include <memory>

namespace voxendo {

// The storage the application's auth client keeps its session in: the system keyring, under
// `service` and `accessGroup`. Null when this build has no keyring storage; the client then
// keeps the session for the current run only.
std::shared_ptr<AuthSessionStorage> makeDefaultSessionStorage(const QString &service, const QString &accessGroup);

} // namespace voxendo
