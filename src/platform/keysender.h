#pragma once

#include "platform/status.h"

#include <Qt>
#include <memory>

namespace voxendo::platform {

// Synthetic keyboard input into whichever application has the keyboard focus: the paste chord
// that makes the focused text field take the clipboard.
class KeySender
{
public:
    virtual ~KeySender() = default;

    // Ok when this session lets us post keyboard input to other applications; otherwise the
    // reason (no X11 display, no XTest extension, a Wayland session, ...).
    virtual Status canPostSyntheticInput() = 0;

    // The modifier keys physically held down right now (Shift, Control, Alt, Super, AltGr).
    // Lock keys do not count. A chord posted while one is held would reach the application as
    // a different shortcut, so callers wait for this to be empty first.
    virtual Result<Qt::KeyboardModifiers> heldModifiers() = 0;

    // Posts the paste chord, Control+V, with no other modifier in effect: modifier keys still
    // held are released around the chord and pressed again afterwards, so the application sees
    // exactly Control+V and the user's keyboard state is the same as before.
    virtual Status postPasteChord() = 0;
};

// The implementation for the session this process runs in.
std::unique_ptr<KeySender> createKeySender();

} // namespace voxendo::platform
