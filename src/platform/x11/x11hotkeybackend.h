#pragma once

#include "platform/hotkeybackend.h"

#include <QByteArray>
#include <optional>

struct _XDisplay;
class QSocketNotifier;

namespace voxendo::platform {

// Grabs the chord on the root window of an X display through a connection of its own, so that
// its grabs, error checks and autorepeat setting never disturb Qt's connection, and it works
// whatever Qt's own platform plugin is. The connection opens on the first registration.
class X11HotkeyBackend final : public HotkeyBackend
{
    Q_OBJECT

public:
    // `displayName` empty: $DISPLAY.
    explicit X11HotkeyBackend(QByteArray displayName = {}, QObject *parent = nullptr);
    ~X11HotkeyBackend() override;

    Status registerHotkey(const HotkeyChord &chord) override;
    void unregisterHotkey() override;

private:
    Status open();
    Status grab(const HotkeyChord &chord);
    void ungrab();
    void processEvents();
    void scheduleProcessEvents();

    QByteArray m_displayName;
    _XDisplay *m_display = nullptr;
    QSocketNotifier *m_notifier = nullptr;

    std::optional<HotkeyChord> m_chord;
    unsigned m_keycode = 0;      // X keycode grabbed
    unsigned m_modifiers = 0;    // X modifier state grabbed (without the lock variants)
    unsigned m_numLockMask = 0;
    bool m_detectableAutoRepeat = false;
    bool m_keyHeld = false; // between the press that fired and its release
};

} // namespace voxendo::platform
