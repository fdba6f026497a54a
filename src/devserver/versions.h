#pragma once

#include <QString>

namespace voxendo::devserver {

// Compares dotted versions the way the application does: the first three numeric pieces count,
// a piece that is not a whole number counts as 0, missing pieces are 0, empty pieces are
// dropped. −1 when a is older than b, 0 when equal, 1 when newer.
int compareVersions(const QString &a, const QString &b);

} // namespace voxendo::devserver
