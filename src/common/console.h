#pragma once

#include <QString>
#include <functional>

namespace voxendo {

// Plain status lines on standard output ("[Auth] ...", "Hotkey registered: ...").
// Each line is written whole and flushed at once, so a reader of the pipe sees it immediately.
namespace Console {

void printLine(const QString &line);

// Tests observe the lines without redirecting file descriptors. The sink sees every line in
// addition to stdout; pass an empty function to remove it. Main thread or test thread only.
using Sink = std::function<void(const QString &)>;
void setSink(Sink sink);

} // namespace Console
} // namespace voxendo
