#include "shortcut/keytables.h"

#include "shortcut/hotkeyshortcut.h"

#include <QKeyEvent>
#include <array>

namespace voxendo::keytables {

namespace {

// Scan codes are Linux input codes + 8, the keycodes of every evdev/libinput X server and of
// Wayland compositors; keysym values are the X11 protocol's (X11/keysymdef.h).
constexpr quint32 sc(quint32 linuxInputCode) { return linuxInputCode + 8; }

constexpr std::array kEntries = {
    // Letters
    KeyEntry{0, 'a', Qt::Key_A, sc(30), false},
    KeyEntry{11, 'b', Qt::Key_B, sc(48), false},
    KeyEntry{8, 'c', Qt::Key_C, sc(46), false},
    KeyEntry{2, 'd', Qt::Key_D, sc(32), false},
    KeyEntry{14, 'e', Qt::Key_E, sc(18), false},
    KeyEntry{3, 'f', Qt::Key_F, sc(33), false},
    KeyEntry{5, 'g', Qt::Key_G, sc(34), false},
    KeyEntry{4, 'h', Qt::Key_H, sc(35), false},
    KeyEntry{34, 'i', Qt::Key_I, sc(23), false},
    KeyEntry{38, 'j', Qt::Key_J, sc(36), false},
    KeyEntry{40, 'k', Qt::Key_K, sc(37), false},
    KeyEntry{37, 'l', Qt::Key_L, sc(38), false},
    KeyEntry{46, 'm', Qt::Key_M, sc(50), false},
    KeyEntry{45, 'n', Qt::Key_N, sc(49), false},
    KeyEntry{31, 'o', Qt::Key_O, sc(24), false},
    KeyEntry{35, 'p', Qt::Key_P, sc(25), false},
    KeyEntry{12, 'q', Qt::Key_Q, sc(16), false},
    KeyEntry{15, 'r', Qt::Key_R, sc(19), false},
    KeyEntry{1, 's', Qt::Key_S, sc(31), false},
    KeyEntry{17, 't', Qt::Key_T, sc(20), false},
    KeyEntry{32, 'u', Qt::Key_U, sc(22), false},
    KeyEntry{9, 'v', Qt::Key_V, sc(47), false},
    KeyEntry{13, 'w', Qt::Key_W, sc(17), false},
    KeyEntry{7, 'x', Qt::Key_X, sc(45), false},
    KeyEntry{16, 'y', Qt::Key_Y, sc(21), false},
    KeyEntry{6, 'z', Qt::Key_Z, sc(44), false},
    // Digits
    KeyEntry{29, '0', Qt::Key_0, sc(11), false},
    KeyEntry{18, '1', Qt::Key_1, sc(2), false},
    KeyEntry{19, '2', Qt::Key_2, sc(3), false},
    KeyEntry{20, '3', Qt::Key_3, sc(4), false},
    KeyEntry{21, '4', Qt::Key_4, sc(5), false},
    KeyEntry{23, '5', Qt::Key_5, sc(6), false},
    KeyEntry{22, '6', Qt::Key_6, sc(7), false},
    KeyEntry{26, '7', Qt::Key_7, sc(8), false},
    KeyEntry{28, '8', Qt::Key_8, sc(9), false},
    KeyEntry{25, '9', Qt::Key_9, sc(10), false},
    // Named keys. The Mac "Delete" key is Backspace, "Forward Delete" is Delete.
    KeyEntry{49, 0x0020, Qt::Key_Space, sc(57), false},
    KeyEntry{36, 0xff0d, Qt::Key_Return, sc(28), false},
    KeyEntry{48, 0xff09, Qt::Key_Tab, sc(15), false},
    KeyEntry{51, 0xff08, Qt::Key_Backspace, sc(14), false},
    KeyEntry{117, 0xffff, Qt::Key_Delete, sc(111), false},
    KeyEntry{53, 0xff1b, Qt::Key_Escape, sc(1), false},
    KeyEntry{76, 0xff8d, Qt::Key_Enter, sc(96), true},
    // Punctuation
    KeyEntry{27, '-', Qt::Key_Minus, sc(12), false},
    KeyEntry{24, '=', Qt::Key_Equal, sc(13), false},
    KeyEntry{33, '[', Qt::Key_BracketLeft, sc(26), false},
    KeyEntry{30, ']', Qt::Key_BracketRight, sc(27), false},
    KeyEntry{42, '\\', Qt::Key_Backslash, sc(43), false},
    KeyEntry{41, ';', Qt::Key_Semicolon, sc(39), false},
    KeyEntry{39, '\'', Qt::Key_Apostrophe, sc(40), false},
    KeyEntry{43, ',', Qt::Key_Comma, sc(51), false},
    KeyEntry{47, '.', Qt::Key_Period, sc(52), false},
    KeyEntry{44, '/', Qt::Key_Slash, sc(53), false},
    KeyEntry{50, '`', Qt::Key_QuoteLeft, sc(41), false},
    // Arrows
    KeyEntry{123, 0xff51, Qt::Key_Left, sc(105), false},
    KeyEntry{124, 0xff53, Qt::Key_Right, sc(106), false},
    KeyEntry{125, 0xff54, Qt::Key_Down, sc(108), false},
    KeyEntry{126, 0xff52, Qt::Key_Up, sc(103), false},
    // Navigation (Page Up/Down are Prior/Next in X11)
    KeyEntry{115, 0xff50, Qt::Key_Home, sc(102), false},
    KeyEntry{119, 0xff57, Qt::Key_End, sc(107), false},
    KeyEntry{116, 0xff55, Qt::Key_PageUp, sc(104), false},
    KeyEntry{121, 0xff56, Qt::Key_PageDown, sc(109), false},
    // Function keys
    KeyEntry{122, 0xffbe, Qt::Key_F1, sc(59), false},
    KeyEntry{120, 0xffbf, Qt::Key_F2, sc(60), false},
    KeyEntry{99, 0xffc0, Qt::Key_F3, sc(61), false},
    KeyEntry{118, 0xffc1, Qt::Key_F4, sc(62), false},
    KeyEntry{96, 0xffc2, Qt::Key_F5, sc(63), false},
    KeyEntry{97, 0xffc3, Qt::Key_F6, sc(64), false},
    KeyEntry{98, 0xffc4, Qt::Key_F7, sc(65), false},
    KeyEntry{100, 0xffc5, Qt::Key_F8, sc(66), false},
    KeyEntry{101, 0xffc6, Qt::Key_F9, sc(67), false},
    KeyEntry{109, 0xffc7, Qt::Key_F10, sc(68), false},
    KeyEntry{103, 0xffc8, Qt::Key_F11, sc(87), false},
    KeyEntry{111, 0xffc9, Qt::Key_F12, sc(88), false},
    // Keys without a display name: usable, shown as "Key<code>".
    KeyEntry{105, 0xffca, Qt::Key_F13, sc(183), false},
    KeyEntry{107, 0xffcb, Qt::Key_F14, sc(184), false},
    KeyEntry{113, 0xffcc, Qt::Key_F15, sc(185), false},
    KeyEntry{106, 0xffcd, Qt::Key_F16, sc(186), false},
    KeyEntry{64, 0xffce, Qt::Key_F17, sc(187), false},
    KeyEntry{79, 0xffcf, Qt::Key_F18, sc(188), false},
    KeyEntry{80, 0xffd0, Qt::Key_F19, sc(189), false},
    KeyEntry{90, 0xffd1, Qt::Key_F20, sc(190), false},
    KeyEntry{114, 0xff63, Qt::Key_Insert, sc(110), false}, // the Mac "Help" position
    KeyEntry{65, 0xffae, Qt::Key_Period, sc(83), true},
    KeyEntry{67, 0xffaa, Qt::Key_Asterisk, sc(55), true},
    KeyEntry{69, 0xffab, Qt::Key_Plus, sc(78), true},
    KeyEntry{75, 0xffaf, Qt::Key_Slash, sc(98), true},
    KeyEntry{78, 0xffad, Qt::Key_Minus, sc(74), true},
    KeyEntry{81, 0xffbd, Qt::Key_Equal, sc(117), true},
    KeyEntry{82, 0xffb0, Qt::Key_0, sc(82), true},
    KeyEntry{83, 0xffb1, Qt::Key_1, sc(79), true},
    KeyEntry{84, 0xffb2, Qt::Key_2, sc(80), true},
    KeyEntry{85, 0xffb3, Qt::Key_3, sc(81), true},
    KeyEntry{86, 0xffb4, Qt::Key_4, sc(75), true},
    KeyEntry{87, 0xffb5, Qt::Key_5, sc(76), true},
    KeyEntry{88, 0xffb6, Qt::Key_6, sc(77), true},
    KeyEntry{89, 0xffb7, Qt::Key_7, sc(71), true},
    KeyEntry{91, 0xffb8, Qt::Key_8, sc(72), true},
    KeyEntry{92, 0xffb9, Qt::Key_9, sc(73), true},
};

template <typename Pred>
const KeyEntry *find(Pred pred)
{
    for (const KeyEntry &e : kEntries) {
        if (pred(e))
            return &e;
    }
    return nullptr;
}

bool isModifierKey(int key)
{
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Mode_switch:
        return true;
    default:
        return false;
    }
}

std::optional<quint32> byQtKey(int key, bool keypad)
{
    if (const KeyEntry *e = find([&](const KeyEntry &e) { return e.qtKey == key && e.keypad == keypad; }))
        return e->keyCode;
    return std::nullopt;
}

} // namespace

std::span<const KeyEntry> entries()
{
    return kEntries;
}

const KeyEntry *entryForKeyCode(quint32 keyCode)
{
    return find([&](const KeyEntry &e) { return e.keyCode == keyCode; });
}

std::optional<quint32> keysymForKeyCode(quint32 keyCode)
{
    if (const KeyEntry *e = entryForKeyCode(keyCode))
        return e->keysym;
    return std::nullopt;
}

std::optional<quint32> keyCodeForKeysym(quint32 keysym)
{
    if (keysym >= 'A' && keysym <= 'Z')
        keysym += 'a' - 'A';
    if (const KeyEntry *e = find([&](const KeyEntry &e) { return e.keysym == keysym; }))
        return e->keyCode;
    return std::nullopt;
}

std::optional<quint32> keyCodeForScanCode(quint32 scanCode)
{
    if (const KeyEntry *e = find([&](const KeyEntry &e) { return e.scanCode == scanCode; }))
        return e->keyCode;
    return std::nullopt;
}

std::optional<Qt::Key> qtKeyForKeyCode(quint32 keyCode)
{
    if (const KeyEntry *e = entryForKeyCode(keyCode))
        return Qt::Key(e->qtKey);
    return std::nullopt;
}

std::optional<quint32> keyCodeForKeyEvent(int qtKey, Qt::KeyboardModifiers modifiers,
                                          quint32 nativeScanCode, quint32 nativeKeysym)
{
    if (isModifierKey(qtKey))
        return std::nullopt;

    auto byKeysym = [&]() { return nativeKeysym ? keyCodeForKeysym(nativeKeysym) : std::nullopt; };
    auto byScanCode = [&]() { return nativeScanCode ? keyCodeForScanCode(nativeScanCode) : std::nullopt; };

    if (modifiers & Qt::KeypadModifier) {
        // With NumLock off the keypad reports Home, End, arrows...: its position is what was meant.
        if (auto code = byQtKey(qtKey, true))
            return code;
        if (auto code = byScanCode())
            return code;
        if (auto code = byKeysym())
            return code;
        return byQtKey(qtKey, false);
    }
    if (auto code = byQtKey(qtKey, false))
        return code;
    if (auto code = byKeysym())
        return code;
    if (auto code = byScanCode())
        return code;
    // Key_Enter without the keypad flag, or Shift+Tab, which Qt reports as Backtab.
    if (qtKey == Qt::Key_Backtab)
        return 48;
    return byQtKey(qtKey, true);
}

std::optional<quint32> keyCodeForKeyEvent(const QKeyEvent &event)
{
    return keyCodeForKeyEvent(event.key(), event.modifiers(), event.nativeScanCode(),
                              event.nativeVirtualKey());
}

quint32 carbonFromQt(Qt::KeyboardModifiers modifiers)
{
    quint32 carbon = 0;
    if (modifiers & Qt::MetaModifier)
        carbon |= HotkeyShortcut::cmdKey;
    if (modifiers & Qt::AltModifier)
        carbon |= HotkeyShortcut::optionKey;
    if (modifiers & Qt::ShiftModifier)
        carbon |= HotkeyShortcut::shiftKey;
    if (modifiers & Qt::ControlModifier)
        carbon |= HotkeyShortcut::controlKey;
    return carbon;
}

Qt::KeyboardModifiers qtFromCarbon(quint32 carbon)
{
    Qt::KeyboardModifiers modifiers;
    if (carbon & HotkeyShortcut::cmdKey)
        modifiers |= Qt::MetaModifier;
    if (carbon & HotkeyShortcut::optionKey)
        modifiers |= Qt::AltModifier;
    if (carbon & HotkeyShortcut::shiftKey)
        modifiers |= Qt::ShiftModifier;
    if (carbon & HotkeyShortcut::controlKey)
        modifiers |= Qt::ControlModifier;
    return modifiers;
}

quint32 x11FromCarbon(quint32 carbon)
{
    quint32 state = 0;
    if (carbon & HotkeyShortcut::cmdKey)
        state |= x11::Mod4Mask;
    if (carbon & HotkeyShortcut::optionKey)
        state |= x11::Mod1Mask;
    if (carbon & HotkeyShortcut::shiftKey)
        state |= x11::ShiftMask;
    if (carbon & HotkeyShortcut::controlKey)
        state |= x11::ControlMask;
    return state;
}

quint32 carbonFromX11(quint32 state)
{
    quint32 carbon = 0;
    if (state & x11::Mod4Mask)
        carbon |= HotkeyShortcut::cmdKey;
    if (state & x11::Mod1Mask)
        carbon |= HotkeyShortcut::optionKey;
    if (state & x11::ShiftMask)
        carbon |= HotkeyShortcut::shiftKey;
    if (state & x11::ControlMask)
        carbon |= HotkeyShortcut::controlKey;
    return carbon;
}

} // namespace voxendo::keytables
