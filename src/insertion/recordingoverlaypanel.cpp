#include "insertion/recordingoverlaypanel.h"

#include "common/logging.h"
#include "platform/overlaywindow.h"

#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>

namespace voxendo {

RecordingOverlayPanel::RecordingOverlayPanel(OverlayMode mode, QQmlEngine *engine,
                                             platform::OverlayWindowHints *hints)
    : QQuickView(engine, nullptr)
    , m_mode(mode)
{
    setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    QSurfaceFormat surface = format();
    surface.setAlphaBufferSize(8);
    setFormat(surface);
    setColor(Qt::transparent);
    setResizeMode(QQuickView::SizeViewToRootObject);
    setTitle(QStringLiteral("Voxendo"));

    setInitialProperties({
        {QStringLiteral("mode"), int(mode)},
        {QStringLiteral("accentColor"), overlayModeColor(mode)},
        {QStringLiteral("text"), overlayModeText(mode)},
    });
    setSource(QUrl(QStringLiteral("qrc:/Voxendo/RecordingOverlayView.qml")));
    if (status() == QQuickView::Error) {
        for (const QQmlError &error : errors())
            qWarning().noquote() << "Recording overlay:" << error.toString();
    }

    QSize size(320, 40);
    if (QQuickItem *root = rootObject())
        size = QSize(qCeil(root->implicitWidth()), qCeil(root->implicitHeight()));
    resize(size);

    QScreen *screen = QGuiApplication::primaryScreen();
    if (screen) {
        setScreen(screen);
        setPosition(placement(screen, size));
    }

    if (hints) {
        create();
        // Without them the pill still shows, only not on other desktops; nothing to tell the user.
        if (const platform::Status applied = hints->applyTo(*this); !applied.ok())
            qCInfo(lcPlatform, "Overlay window hints not applied: %s", qUtf8Printable(applied.message));
    }
}

QPoint RecordingOverlayPanel::placement(const QScreen *screen, QSize size)
{
    if (!screen)
        return {};
    const QRect full = screen->geometry();
    const QRect available = screen->availableGeometry();
    return {full.x() + (full.width() - size.width()) / 2, available.y() + topMargin};
}

void RecordingOverlayPanel::orderFrontRegardless()
{
    // show(), never requestActivate(): with WindowDoesNotAcceptFocus the window manager leaves the
    // focus where it is.
    show();
    raise();
}

void RecordingOverlayPanel::orderOut()
{
    hide();
}

} // namespace voxendo
