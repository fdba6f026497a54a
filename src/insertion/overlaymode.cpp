#include "insertion/overlaymode.h"

namespace voxendo {

QColor overlayModeColor(OverlayMode mode)
{
    switch (mode) {
    case OverlayMode::listening:
        return QColor::fromRgbF(0.4f, 0.2f, 1.0f); // violet
    case OverlayMode::inserting:
        return QColor::fromRgbF(0.89f, 0.0f, 0.04f); // red
    }
    return {};
}

QString overlayModeText(OverlayMode mode)
{
    switch (mode) {
    case OverlayMode::listening:
        return QStringLiteral("Listening.. Text lands wherever your cursor is when you stop");
    case OverlayMode::inserting:
        return QStringLiteral("Inserting the text.. Wait a sec");
    }
    return {};
}

} // namespace voxendo
