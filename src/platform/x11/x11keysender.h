#pragma once

#include "platform/keysender.h"

#include <QList>

typedef struct _XDisplay Display;

namespace voxendo::platform {

// XTest on Qt's own X11 connection. Works only when this process runs on the xcb platform:
// under a Wayland session input posted to XWayland would not reach native Wayland clients, so
// that counts as "cannot post".
class X11KeySender final : public KeySender
{
public:
    Status canPostSyntheticInput() override;
    Result<Qt::KeyboardModifiers> heldModifiers() override;
    Status postPasteChord() override;

private:
    struct HeldKey
    {
        unsigned char keycode;
        Qt::KeyboardModifier modifier;
    };
    // The display, or the failure that explains why there is none to post to.
    Result<Display *> display();
    QList<HeldKey> heldModifierKeys(Display *dpy);
};

} // namespace voxendo::platform
