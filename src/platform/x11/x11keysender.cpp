#include "platform/x11/x11keysender.h"

#include "common/logging.h"

#include <QGuiApplication>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// Xlib's macros collide with our names.
#undef Status
#undef None

namespace voxendo::platform {

namespace {

constexpr int kNoDisplay = 1;
constexpr int kNoXTest = 2;
constexpr int kNoKeycode = 3;

Qt::KeyboardModifier modifierForKeysym(KeySym sym)
{
    switch (sym) {
    case XK_Shift_L:
    case XK_Shift_R:
        return Qt::ShiftModifier;
    case XK_Control_L:
    case XK_Control_R:
        return Qt::ControlModifier;
    case XK_Alt_L:
    case XK_Alt_R:
    case XK_Meta_L:
    case XK_Meta_R:
        return Qt::AltModifier;
    case XK_Super_L:
    case XK_Super_R:
    case XK_Hyper_L:
    case XK_Hyper_R:
        return Qt::MetaModifier;
    case XK_ISO_Level3_Shift:
    case XK_ISO_Level5_Shift:
    case XK_Mode_switch:
        return Qt::GroupSwitchModifier;
    default:
        // Caps Lock, Num Lock, Scroll Lock: their pressed state does not change the chord.
        return Qt::NoModifier;
    }
}

} // namespace

Result<Display *> X11KeySender::display()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return Result<Display *>::failure(Status::failure(
            kNoDisplay, QStringLiteral("not an X11 session (platform \"%1\")")
                            .arg(QGuiApplication::platformName())));
    }
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display *dpy = x11 ? x11->display() : nullptr;
    if (!dpy)
        return Result<Display *>::failure(Status::failure(kNoDisplay, QStringLiteral("no X11 display")));
    return Result<Display *>::success(dpy);
}

Status X11KeySender::canPostSyntheticInput()
{
    const auto dpy = display();
    if (!dpy.ok())
        return dpy.status;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(*dpy.value, &eventBase, &errorBase, &major, &minor))
        return Status::failure(kNoXTest, QStringLiteral("the X server has no XTest extension"));
    return Status::success();
}

QList<X11KeySender::HeldKey> X11KeySender::heldModifierKeys(Display *dpy)
{
    QList<HeldKey> held;
    char keys[32] = {};
    XQueryKeymap(dpy, keys);
    XModifierKeymap *map = XGetModifierMapping(dpy);
    if (!map)
        return held;
    for (int row = 0; row < 8; ++row) {
        for (int i = 0; i < map->max_keypermod; ++i) {
            const KeyCode code = map->modifiermap[row * map->max_keypermod + i];
            if (code == 0 || !(keys[code / 8] & (1 << (code % 8))))
                continue;
            const Qt::KeyboardModifier modifier = modifierForKeysym(XkbKeycodeToKeysym(dpy, code, 0, 0));
            if (modifier == Qt::NoModifier)
                continue;
            const bool seen = std::any_of(held.cbegin(), held.cend(),
                                          [code](const HeldKey &k) { return k.keycode == code; });
            if (!seen)
                held.append({code, modifier});
        }
    }
    XFreeModifiermap(map);
    return held;
}

Result<Qt::KeyboardModifiers> X11KeySender::heldModifiers()
{
    const auto dpy = display();
    if (!dpy.ok())
        return Result<Qt::KeyboardModifiers>::failure(dpy.status);
    Qt::KeyboardModifiers modifiers;
    for (const HeldKey &key : heldModifierKeys(*dpy.value))
        modifiers |= key.modifier;
    return Result<Qt::KeyboardModifiers>::success(modifiers);
}

Status X11KeySender::postPasteChord()
{
    const Status trusted = canPostSyntheticInput();
    if (!trusted.ok())
        return trusted;
    Display *dpy = *display().value;
    const KeyCode control = XKeysymToKeycode(dpy, XK_Control_L);
    const KeyCode v = XKeysymToKeycode(dpy, XK_v);
    if (control == 0 || v == 0)
        return Status::failure(kNoKeycode, QStringLiteral("the keyboard map has no Control_L or v key"));

    // A modifier the user still holds would turn the chord into another shortcut
    // (Alt+Control+V pastes nothing). Lift it for the chord and put it back afterwards.
    const QList<HeldKey> held = heldModifierKeys(dpy);
    if (!held.isEmpty())
        qCInfo(lcPlatform) << "Releasing" << held.size() << "held modifier key(s) around the paste chord";
    for (const HeldKey &key : held)
        XTestFakeKeyEvent(dpy, key.keycode, False, CurrentTime);
    XTestFakeKeyEvent(dpy, control, True, CurrentTime);
    XTestFakeKeyEvent(dpy, v, True, CurrentTime);
    XTestFakeKeyEvent(dpy, v, False, CurrentTime);
    XTestFakeKeyEvent(dpy, control, False, CurrentTime);
    for (const HeldKey &key : held)
        XTestFakeKeyEvent(dpy, key.keycode, True, CurrentTime);
    XFlush(dpy);
    return Status::success();
}

std::unique_ptr<KeySender> createKeySender()
{
    return std::make_unique<X11KeySender>();
}

} // namespace voxendo::platform
