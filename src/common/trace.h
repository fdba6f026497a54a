#pragma once

#include <QtGlobal>

// Stage marks for latency measurement across processes. A mark is one line
// "<stage> <microseconds>" in the logging category "com.voxendo.app.Trace", which is off unless
// QT_LOGGING_RULES="com.voxendo.app.Trace.info=true" enables it. The time is CLOCK_MONOTONIC,
// so marks of this process, of a server on the same machine and of a driver sending keys can be
// subtracted from one another. Marks carry stage names only, never content.

namespace voxendo {

// CLOCK_MONOTONIC in microseconds.
qint64 monotonicMicroseconds();

// Writes the mark when the category is enabled; otherwise costs one flag test. `stage` is a
// short fixed name ("hotkey-press", "first-frame", ...). Any thread.
void trace(const char *stage);

} // namespace voxendo
