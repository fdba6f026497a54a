#pragma once

#include "platform/overlaywindow.h"

namespace voxendo::platform {

// EWMH hints set on the unmapped window: _NET_WM_DESKTOP = all desktops, and _NET_WM_STATE
// skip-taskbar and skip-pager. Qt merges its own _NET_WM_STATE atoms (above) into the
// property at show time, so these survive.
class X11OverlayWindowHints final : public OverlayWindowHints
{
public:
    Status applyTo(QWindow &window) override;
};

} // namespace voxendo::platform
