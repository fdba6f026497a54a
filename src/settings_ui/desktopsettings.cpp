#include "settings_ui/desktopsettings.h"

#include <QGuiApplication>
#include <QJSEngine>
#include <QProcess>
#include <QStandardPaths>

namespace voxendo {

namespace {

bool startDetached(const DesktopSettings::Command &command)
{
    // Looked up first so that a missing program costs no process start and no warning.
    const QString path = QStandardPaths::findExecutable(command.program);
    return !path.isEmpty() && QProcess::startDetached(path, command.arguments);
}

} // namespace

QList<DesktopSettings::Command> DesktopSettings::defaultSoundSettingsCommands()
{
    return {
        {QStringLiteral("gnome-control-center"), {QStringLiteral("sound")}},
        {QStringLiteral("systemsettings"), {QStringLiteral("kcm_pulseaudio")}},
        {QStringLiteral("pavucontrol"), {}},
    };
}

DesktopSettings::DesktopSettings(QList<Command> soundCommands, Launcher launcher, QObject *parent)
    : QObject(parent)
    , m_soundCommands(std::move(soundCommands))
    , m_launcher(launcher ? std::move(launcher) : Launcher(startDetached))
{
}

DesktopSettings *DesktopSettings::shared()
{
    static DesktopSettings *instance = new DesktopSettings(defaultSoundSettingsCommands(), {});
    return instance;
}

DesktopSettings *DesktopSettings::create(QQmlEngine *, QJSEngine *)
{
    DesktopSettings *instance = shared();
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

bool DesktopSettings::isWayland() const
{
    // Under XWayland Qt reports "xcb", yet keys of native Wayland windows still never reach us.
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"))
        || qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
}

bool DesktopSettings::openSoundSettings()
{
    for (const Command &command : m_soundCommands) {
        if (m_launcher(command))
            return true;
    }
    return false;
}

} // namespace voxendo
