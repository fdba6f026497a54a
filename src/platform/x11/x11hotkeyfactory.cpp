#include "platform/hotkeybackend.h"
#include "platform/x11/x11hotkeybackend.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <X11/Xlib.h>
#undef Status

namespace voxendo::platform {

namespace {

// Wayland compositors and the offscreen platform offer no way to grab keys for the whole
// desktop; registration says so, and the rest of the application runs on.
class UnavailableHotkeyBackend final : public HotkeyBackend
{
public:
    explicit UnavailableHotkeyBackend(QString platform)
        : m_platform(std::move(platform))
    {
    }

    Status registerHotkey(const HotkeyChord &) override
    {
        return Status::failure(HotkeyUnavailable,
                               QStringLiteral("global shortcuts need an X11 session; this one runs "
                                              "on the \"%1\" platform")
                                   .arg(m_platform));
    }
    void unregisterHotkey() override {}

private:
    QString m_platform;
};

} // namespace

std::unique_ptr<HotkeyBackend> createHotkeyBackend()
{
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("xcb"))
        return std::make_unique<UnavailableHotkeyBackend>(platform.isEmpty() ? QStringLiteral("none")
                                                                             : platform);
    // The display Qt itself uses (it may come from -display rather than $DISPLAY).
    QByteArray displayName;
    if (auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) {
        if (Display *display = x11->display())
            displayName = DisplayString(display);
    }
    return std::make_unique<X11HotkeyBackend>(displayName);
}

} // namespace voxendo::platform
