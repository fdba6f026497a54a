#pragma once

#include "platform/status.h"

#include <memory>

class QWindow;

namespace voxendo::platform {

// Window-manager hints for a floating status window that no ordinary window setting covers:
// present on every virtual desktop, left out of task bars and pagers.
class OverlayWindowHints
{
public:
    virtual ~OverlayWindowHints() = default;

    // Call after the native window exists (QWindow::create()) and before it is shown.
    virtual Status applyTo(QWindow &window) = 0;
};

// The implementation for the session this process runs in.
std::unique_ptr<OverlayWindowHints> createOverlayWindowHints();

} // namespace voxendo::platform
