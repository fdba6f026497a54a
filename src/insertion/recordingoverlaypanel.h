#pragma once

#include "insertion/overlaymode.h"

#include <QQuickView>

class QScreen;

namespace voxendo {

namespace platform {
class OverlayWindowHints;
}

// The floating window that hosts one recording pill (RecordingOverlayView.qml). It never takes
// the keyboard focus, so the text cursor stays where the transcript will be pasted; it floats
// above ordinary windows on every desktop and is transparent around the capsule.
class RecordingOverlayPanel : public QQuickView
{
    Q_OBJECT
public:
    static constexpr int topMargin = 12;

    // Builds the pill for `mode` on `engine` (shared between pills, so later pills skip the QML
    // compile), sized to its content and placed on the primary screen. Not shown yet.
    RecordingOverlayPanel(OverlayMode mode, QQmlEngine *engine, platform::OverlayWindowHints *hints);

    OverlayMode mode() const { return m_mode; }

    // Shows the pill without activating Voxendo or taking the focus.
    void orderFrontRegardless();
    void orderOut();

    // Top-left corner of a pill of `size` on `screen`: centred on the screen's full width, its
    // top edge `topMargin` below the top of the screen's available area (below top panels).
    static QPoint placement(const QScreen *screen, QSize size);

private:
    OverlayMode m_mode;
};

} // namespace voxendo
