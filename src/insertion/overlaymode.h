#pragma once

#include <QColor>
#include <QString>

namespace voxendo {

// What the recording pill is telling the user.
enum class OverlayMode { listening, inserting };

// The pill's accent colour (dot and outline) for a mode.
QColor overlayModeColor(OverlayMode mode);
// The pill's text for a mode.
QString overlayModeText(OverlayMode mode);

} // namespace voxendo
