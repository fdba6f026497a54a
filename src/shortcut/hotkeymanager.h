#pragma once

#include "platform/hotkeybackend.h"
#include "shortcut/hotkeyshortcut.h"

#include <QObject>
#include <QtQmlIntegration/qqmlintegration.h>
#include <memory>

class QQmlEngine;
class QJSEngine;
class QSettings;

namespace voxendo {

// Makes the user's shortcut a system-wide hot key. Keeps the shortcut in use, stores a changed
// one and registers it again, and announces each press with hotKeyPressed(). Main thread only.
//
// The dictation controller connects its toggle to hotKeyPressed() with Qt::QueuedConnection,
// so the backend's event dispatch returns before the toggle runs.
class HotkeyManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(voxendo::HotkeyShortcut currentShortcut READ currentShortcut NOTIFY currentShortcutChanged)
    // Whether the desktop accepted the shortcut. The shortcut stays current either way; views
    // may use this to tell the user it is taken.
    Q_PROPERTY(bool isRegistered READ isRegistered NOTIFY isRegisteredChanged)

public:
    // `settings` holds "hotkeyKeyCode" / "hotkeyModifiers" and must outlive the manager.
    // Construction reads the stored shortcut but registers nothing.
    HotkeyManager(std::unique_ptr<platform::HotkeyBackend> backend, QSettings *settings,
                  QObject *parent = nullptr);
    ~HotkeyManager() override;

    // The process-wide instance: the session's backend and the "Voxendo"/"Voxendo" settings.
    // First use after QGuiApplication exists, on the main thread.
    static HotkeyManager &shared();
    static HotkeyManager *create(QQmlEngine *, QJSEngine *);

    HotkeyShortcut currentShortcut() const { return m_currentShortcut; }
    bool isRegistered() const { return m_registered; }

    // Starts listening for presses and grabs currentShortcut. Prints "Hotkey registered: ..." or
    // "Failed to register hotkey: <code>".
    Q_INVOKABLE void registerHotKey();
    // Releases the grab, stores the shortcut, publishes it and registers it.
    Q_INVOKABLE void updateShortcut(const voxendo::HotkeyShortcut &shortcut);
    // Releases the grab and stops listening: presses no longer arrive (the recorder uses this
    // while it captures keys).
    Q_INVOKABLE void unregisterHotKey();

Q_SIGNALS:
    void currentShortcutChanged();
    void isRegisteredChanged();
    void hotKeyPressed();

private:
    void setRegistered(bool registered);

    std::unique_ptr<platform::HotkeyBackend> m_backend;
    QSettings *m_settings;
    HotkeyShortcut m_currentShortcut;
    QMetaObject::Connection m_pressHandler;
    bool m_registered = false;
};

} // namespace voxendo
