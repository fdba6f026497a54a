#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QtQml/qqmlregistration.h>

#include <functional>

class QQmlEngine;
class QJSEngine;

namespace voxendo {

// The Settings tab's permission rows on a Linux desktop. There is no permission to grant for
// the microphone; what a user can fix is the input device and its level, so "Open Settings"
// starts the desktop's own sound settings, whichever of the known programs is installed.
class DesktopSettings : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // A Wayland session: no global key grab and no synthetic paste for ordinary applications.
    Q_PROPERTY(bool isWayland READ isWayland CONSTANT)

public:
    struct Command
    {
        QString program;
        QStringList arguments;
    };
    // Starts a program detached; true when it was started.
    using Launcher = std::function<bool(const Command &)>;

    // GNOME's, then KDE's sound settings, then the PulseAudio volume control.
    static QList<Command> defaultSoundSettingsCommands();

    // `launcher` empty: start the program for real. Deliberately without defaults (see
    // navigationcenter.h: a default-constructible singleton is made anew by every QML engine).
    DesktopSettings(QList<Command> soundCommands, Launcher launcher, QObject *parent = nullptr);

    static DesktopSettings *shared();
    static DesktopSettings *create(QQmlEngine *, QJSEngine *);

    bool isWayland() const;

    // Tries the sound-settings programs in order and stops at the first one that starts.
    // False when none could be started: the view then explains where to look instead.
    Q_INVOKABLE bool openSoundSettings();

private:
    QList<Command> m_soundCommands;
    Launcher m_launcher;
};

} // namespace voxendo
