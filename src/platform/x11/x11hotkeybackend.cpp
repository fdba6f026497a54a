#include "platform/x11/x11hotkeybackend.h"

#include "common/logging.h"
#include "shortcut/keytables.h"

#include <QSocketNotifier>

// Xlib last: it defines macros (Status, Bool, None) that clash with ordinary names.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#undef Status

namespace voxendo::platform {

namespace {

// Collects the X errors of one batch of requests on one connection. Xlib's error handler is
// process-wide and its default exits the process, so every request batch of this backend runs
// inside a trap and ends with XSync: no error of ours can arrive outside one. Errors of other
// connections go on to the handler that was there before.
class ErrorTrap
{
public:
    explicit ErrorTrap(Display *display)
        : m_display(display)
    {
        m_outer = s_current;
        s_current = this;
        m_previous = XSetErrorHandler(&ErrorTrap::handle);
    }

    // Waits for the server to answer everything sent so far; the first error's code, or 0.
    int finish()
    {
        if (m_finished)
            return m_error;
        XSync(m_display, False);
        XSetErrorHandler(m_previous);
        s_current = m_outer;
        m_finished = true;
        return m_error;
    }

    ~ErrorTrap() { finish(); }

private:
    static int handle(Display *display, XErrorEvent *event)
    {
        for (ErrorTrap *trap = s_current; trap; trap = trap->m_outer) {
            if (trap->m_display == display) {
                if (!trap->m_error)
                    trap->m_error = event->error_code;
                return 0;
            }
        }
        ErrorTrap *outermost = s_current;
        while (outermost && outermost->m_outer)
            outermost = outermost->m_outer;
        XErrorHandler previous = outermost ? outermost->m_previous : nullptr;
        return previous ? previous(display, event) : 0;
    }

    static inline ErrorTrap *s_current = nullptr;
    Display *m_display;
    ErrorTrap *m_outer = nullptr;
    XErrorHandler m_previous = nullptr;
    int m_error = 0;
    bool m_finished = false;
};

// The modifier bit that NumLock sets on this server (Mod2 on most, but it is configurable).
unsigned numLockMask(Display *display)
{
    const KeyCode numLock = XKeysymToKeycode(display, XK_Num_Lock);
    XModifierKeymap *map = XGetModifierMapping(display);
    if (!map)
        return 0;
    unsigned mask = 0;
    for (int modifier = 0; modifier < 8 && numLock; ++modifier) {
        for (int i = 0; i < map->max_keypermod; ++i) {
            if (map->modifiermap[modifier * map->max_keypermod + i] == numLock)
                mask = 1u << modifier;
        }
    }
    XFreeModifiermap(map);
    return mask;
}

// The X keycode for a key: the one the layout puts its symbol on, else the key at its position.
// Layouts give some keys other symbols (F13 is XF86Tools on evdev keymaps); the position still
// names the physical key the user pressed when recording it.
unsigned keycodeFor(Display *display, const keytables::KeyEntry &key)
{
    if (const KeyCode keycode = XKeysymToKeycode(display, KeySym(key.keysym)))
        return keycode;
    // A keycode without symbols still reports presses (F19 has none on evdev keymaps).
    int minKeycode = 0;
    int maxKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    const int position = int(key.scanCode);
    return position >= minKeycode && position <= maxKeycode ? unsigned(position) : 0;
}

QString errorText(Display *display, int code)
{
    char text[256] = {};
    XGetErrorText(display, code, text, sizeof text);
    return QString::fromLocal8Bit(text);
}

QString keysymName(quint32 keysym)
{
    const char *name = XKeysymToString(KeySym(keysym));
    return name ? QString::fromLatin1(name) : QStringLiteral("0x%1").arg(keysym, 0, 16);
}

} // namespace

X11HotkeyBackend::X11HotkeyBackend(QByteArray displayName, QObject *parent)
    : HotkeyBackend(parent)
    , m_displayName(std::move(displayName))
{
}

X11HotkeyBackend::~X11HotkeyBackend()
{
    if (!m_display)
        return;
    ungrab();
    delete m_notifier;
    XCloseDisplay(m_display);
}

Status X11HotkeyBackend::open()
{
    if (m_display)
        return Status::success();
    m_display = XOpenDisplay(m_displayName.isEmpty() ? nullptr : m_displayName.constData());
    if (!m_display) {
        const QByteArray name = m_displayName.isEmpty() ? qgetenv("DISPLAY") : m_displayName;
        return Status::failure(HotkeyUnavailable,
                               QStringLiteral("cannot open the X11 display \"%1\"")
                                   .arg(QString::fromLocal8Bit(name)));
    }
    // Without this a held key repeats as release/press pairs; with it, presses and one release.
    // On this connection only, so Qt's own key handling is unaffected.
    Bool detectable = False;
    XkbSetDetectableAutoRepeat(m_display, True, &detectable);
    m_detectableAutoRepeat = detectable;
    if (!detectable)
        qCInfo(lcPlatform) << "X server lacks detectable autorepeat; repeats are told apart by time";

    m_notifier = new QSocketNotifier(ConnectionNumber(m_display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &X11HotkeyBackend::processEvents);
    return Status::success();
}

Status X11HotkeyBackend::registerHotkey(const HotkeyChord &chord)
{
    if (Status opened = open(); !opened.ok())
        return opened;
    ungrab();
    Status status = grab(chord);
    // XSync may have read events into Xlib's queue without the socket turning readable.
    scheduleProcessEvents();
    return status;
}

void X11HotkeyBackend::unregisterHotkey()
{
    if (!m_display)
        return;
    ungrab();
    scheduleProcessEvents();
}

Status X11HotkeyBackend::grab(const HotkeyChord &chord)
{
    const std::optional<quint32> keysym = keytables::keysymForKeyCode(chord.keyCode);
    if (!keysym)
        return Status::failure(HotkeyNoSuchKey,
                               QStringLiteral("key code %1 has no X11 key").arg(chord.keyCode));
    const unsigned keycode = keycodeFor(m_display, *keytables::entryForKeyCode(chord.keyCode));
    if (!keycode)
        return Status::failure(HotkeyNoSuchKey,
                               QStringLiteral("no key of the current keyboard layout produces %1")
                                   .arg(keysymName(*keysym)));

    const unsigned modifiers = keytables::x11FromCarbon(chord.modifiers);
    const unsigned numLock = numLockMask(m_display);
    // A grab matches the exact modifier state, so also grab it with Caps Lock and NumLock on.
    const unsigned variants[] = {0, LockMask, numLock, numLock | LockMask};
    const Window root = DefaultRootWindow(m_display);

    ErrorTrap trap(m_display);
    for (unsigned variant : variants)
        XGrabKey(m_display, keycode, modifiers | variant, root, False, GrabModeAsync, GrabModeAsync);
    if (const int error = trap.finish()) {
        // Another client may hold only some variants: release the ones we did get.
        ErrorTrap cleanup(m_display);
        for (unsigned variant : variants)
            XUngrabKey(m_display, keycode, modifiers | variant, root);
        cleanup.finish();
        QString message = QStringLiteral("the X server refused to grab %1 (modifier state 0x%2): %3")
                              .arg(keysymName(*keysym))
                              .arg(modifiers, 0, 16)
                              .arg(errorText(m_display, error));
        if (error == BadAccess)
            message += QStringLiteral("; another application already uses this shortcut");
        return Status::failure(error, message);
    }

    m_chord = chord;
    m_keycode = keycode;
    m_modifiers = modifiers;
    m_numLockMask = numLock;
    m_keyHeld = false;
    return Status::success();
}

void X11HotkeyBackend::ungrab()
{
    if (!m_chord)
        return;
    const unsigned variants[] = {0, LockMask, m_numLockMask, m_numLockMask | LockMask};
    const Window root = DefaultRootWindow(m_display);
    ErrorTrap trap(m_display);
    for (unsigned variant : variants)
        XUngrabKey(m_display, m_keycode, m_modifiers | variant, root);
    trap.finish();
    m_chord.reset();
    m_keyHeld = false;
}

void X11HotkeyBackend::scheduleProcessEvents()
{
    QMetaObject::invokeMethod(this, &X11HotkeyBackend::processEvents, Qt::QueuedConnection);
}

void X11HotkeyBackend::processEvents()
{
    if (!m_display)
        return;
    while (XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        switch (event.type) {
        case KeyPress:
            if (!m_chord || event.xkey.keycode != m_keycode)
                break; // other keys pressed while ours is held (the grab is active) are not ours
            // With detectable autorepeat a held key sends more presses and one final release.
            if (m_keyHeld) {
                qCDebug(lcPlatform) << "hot key autorepeat ignored";
                break;
            }
            m_keyHeld = true;
            Q_EMIT pressed();
            break;
        case KeyRelease:
            if (event.xkey.keycode != m_keycode)
                break;
            // Without it each repeat is a release and a press with the same timestamp, sent
            // together: the pair is swallowed and the key stays held.
            if (!m_detectableAutoRepeat && XEventsQueued(m_display, QueuedAfterReading) > 0) {
                XEvent next;
                XPeekEvent(m_display, &next);
                if (next.type == KeyPress && next.xkey.keycode == event.xkey.keycode
                    && next.xkey.time == event.xkey.time) {
                    XNextEvent(m_display, &next);
                    qCDebug(lcPlatform) << "hot key autorepeat ignored";
                    break;
                }
            }
            m_keyHeld = false;
            break;
        case MappingNotify:
            if (event.xmapping.request == MappingPointer)
                break;
            XRefreshKeyboardMapping(&event.xmapping);
            // The chord's key or the NumLock bit may now sit elsewhere: grab it anew.
            if (m_chord) {
                const HotkeyChord chord = *m_chord;
                ungrab();
                const Status status = grab(chord);
                if (!status.ok())
                    qCWarning(lcPlatform).noquote()
                        << "Global shortcut lost after a keyboard mapping change:" << status.message;
            }
            break;
        default:
            break;
        }
    }
}

} // namespace voxendo::platform
