#pragma once

#include <QString>

namespace voxendo {

// The command-line side of ControlService: `voxendo toggle | show | status`.
struct ControlClient
{
    // Calls `method` ("Toggle", "Show" or "Status") on the running instance. Prints the status
    // text for Status, a clear message on stderr when no instance runs. Returns the exit code.
    static int run(const QString &method);

    // True when another Voxendo owns the service name.
    static bool instanceRunning();
};

} // namespace voxendo
