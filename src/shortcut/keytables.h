#pragma once

#include <QtGlobal>
#include <Qt>
#include <optional>
#include <span>

class QKeyEvent;

namespace voxendo::keytables {

// One physical key in every unit the application meets it in. This is the single place that
// knows how a macOS virtual key code (the stored unit) relates to X11 and to Qt.
struct KeyEntry
{
    quint32 keyCode;  // macOS virtual key code (kVK_*)
    quint32 keysym;   // X11 keysym of the key's unshifted symbol on a US layout
    int qtKey;        // Qt::Key that Qt reports for it
    quint32 scanCode; // X11 / Wayland keycode of the key's position: Linux input code + 8
    bool keypad;      // Qt reports it with Qt::KeypadModifier
};

// Every key the shortcut can use: the 74 named keys plus F13-F20, Insert and the keypad.
std::span<const KeyEntry> entries();
const KeyEntry *entryForKeyCode(quint32 keyCode);

std::optional<quint32> keysymForKeyCode(quint32 keyCode);
// Uppercase Latin letters are taken as their key (the keysym Shift+A reports is "A").
std::optional<quint32> keyCodeForKeysym(quint32 keysym);
std::optional<quint32> keyCodeForScanCode(quint32 scanCode);
std::optional<Qt::Key> qtKeyForKeyCode(quint32 keyCode);

// Which key a key event is, as a macOS key code; none for a modifier key on its own or a key
// outside the table. Uses what the event offers, most specific first: the symbol Qt reports
// (so the key the user sees on their layout is the one recorded), the native keysym, and
// finally the key's position from the native scan code (Shift+1 reports "!", which has no
// key code of its own). QML's KeyEvent carries key, modifiers and nativeScanCode.
std::optional<quint32> keyCodeForKeyEvent(int qtKey, Qt::KeyboardModifiers modifiers,
                                          quint32 nativeScanCode = 0, quint32 nativeKeysym = 0);
std::optional<quint32> keyCodeForKeyEvent(const QKeyEvent &event);

// Modifier masks. Carbon: Command 256, Shift 512, Option 2048, Control 4096.
// X11 core masks: Shift, Lock (Caps Lock), Control, Mod1 (Alt), Mod2 (usually NumLock), Mod4 (Super).
namespace x11 {
constexpr quint32 ShiftMask = 1 << 0;
constexpr quint32 LockMask = 1 << 1;
constexpr quint32 ControlMask = 1 << 2;
constexpr quint32 Mod1Mask = 1 << 3;
constexpr quint32 Mod2Mask = 1 << 4;
constexpr quint32 Mod4Mask = 1 << 6;
} // namespace x11

// Command <-> Meta (Qt's name for Super on X11) / Mod4, Option <-> Alt / Mod1. Bits without a
// Carbon counterpart (Caps Lock, NumLock, keypad, group switch) are dropped.
quint32 carbonFromQt(Qt::KeyboardModifiers modifiers);
Qt::KeyboardModifiers qtFromCarbon(quint32 carbon);
quint32 x11FromCarbon(quint32 carbon);
quint32 carbonFromX11(quint32 state);

} // namespace voxendo::keytables
