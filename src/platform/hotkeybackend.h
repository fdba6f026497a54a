#pragma once

#include "platform/status.h"

#include <QObject>
#include <memory>

namespace voxendo::platform {

// A system-wide key chord in the application's own units: a macOS virtual key code and a Carbon
// modifier mask (see shortcut/hotkeyshortcut.h). Each backend translates it with shortcut/keytables.h.
struct HotkeyChord
{
    quint32 keyCode = 0;
    quint32 modifiers = 0;
    friend bool operator==(const HotkeyChord &, const HotkeyChord &) = default;
};

// Grabs one chord for the whole desktop and reports its presses.
//
// Status codes of registerHotkey():
//   0                       the chord is grabbed
//   > 0                     the window system's error code (X11: 10 BadAccess when another
//                           client already holds the chord, 2 BadValue, ...)
//   HotkeyUnavailable (-1)  no session that supports global hot keys (Wayland, offscreen)
//   HotkeyNoSuchKey (-2)    no key of the current keyboard layout produces the chord's key
class HotkeyBackend : public QObject
{
    Q_OBJECT

public:
    static constexpr int HotkeyUnavailable = -1;
    static constexpr int HotkeyNoSuchKey = -2;

    using QObject::QObject;
    ~HotkeyBackend() override = default;

    // Grabs `chord`, replacing any chord this backend holds. A refused grab leaves none held.
    virtual Status registerHotkey(const HotkeyChord &chord) = 0;
    // Releases the held chord, if any.
    virtual void unregisterHotkey() = 0;

Q_SIGNALS:
    // One press of the held chord, on the thread the backend lives on; a held key's autorepeat
    // does not press again.
    void pressed();
};

// The backend for the running session: X11 under the xcb platform, otherwise one whose
// registration fails with HotkeyUnavailable and says why. Call after QGuiApplication exists.
std::unique_ptr<HotkeyBackend> createHotkeyBackend();

} // namespace voxendo::platform
