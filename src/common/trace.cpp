#include "common/trace.h"

#include "common/logging.h"

#include <ctime>

namespace voxendo {

qint64 monotonicMicroseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void trace(const char *stage)
{
    if (!lcTrace().isInfoEnabled())
        return;
    // Read the clock first: formatting and writing the line must not count towards the stage.
    const qint64 now = monotonicMicroseconds();
    qCInfo(lcTrace, "%s %lld", stage, static_cast<long long>(now));
}

} // namespace voxendo
