#include "common/console.h"

#include <QMutex>
#include <cstdio>

namespace voxendo::Console {
namespace {
QMutex sinkMutex;
Sink &sink()
{
    static Sink s;
    return s;
}
} // namespace

void printLine(const QString &line)
{
    // Lines may come from worker threads (device callbacks): write under one lock so they never
    // interleave.
    QMutexLocker lock(&sinkMutex);
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    if (sink())
        sink()(line);
}

void setSink(Sink s)
{
    QMutexLocker lock(&sinkMutex);
    sink() = std::move(s);
}

} // namespace voxendo::Console
