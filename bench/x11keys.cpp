#include "x11keys.h"

#include <QList>

#include <ctime>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

namespace benchx11 {

namespace {

qint64 nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

Display *dpy(void *p)
{
    return static_cast<Display *>(p);
}

QList<Window> managedWindows(Display *d)
{
    QList<Window> out;
    const Atom clientList = XInternAtom(d, "_NET_CLIENT_LIST", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(d, DefaultRootWindow(d), clientList, 0, 4096, False, XA_WINDOW, &type,
                           &format, &count, &after, &data) == Success && data) {
        const auto *ids = reinterpret_cast<const unsigned long *>(data);
        for (unsigned long i = 0; i < count; ++i)
            out.append(Window(ids[i]));
        XFree(data);
    }
    return out;
}

qint64 windowPid(Display *d, Window w)
{
    const Atom pidAtom = XInternAtom(d, "_NET_WM_PID", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    qint64 pid = -1;
    if (XGetWindowProperty(d, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success && data) {
        if (count == 1)
            pid = qint64(*reinterpret_cast<const unsigned long *>(data));
        XFree(data);
    }
    return pid;
}

// Windows come and go while they are listed; a query about one that is gone is no failure here.
int ignoreErrors(Display *, XErrorEvent *)
{
    return 0;
}

bool isMapped(Display *d, Window w)
{
    XWindowAttributes attributes{};
    return XGetWindowAttributes(d, w, &attributes) && attributes.map_state == IsViewable;
}

} // namespace

Keyboard::Keyboard()
{
    Display *d = XOpenDisplay(nullptr);
    if (!d) {
        m_error = QStringLiteral("cannot open the X display (is DISPLAY set?)");
        return;
    }
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(d, &event, &error, &major, &minor)) {
        m_error = QStringLiteral("the X server has no XTest extension");
        XCloseDisplay(d);
        return;
    }
    XSetErrorHandler(ignoreErrors);
    m_display = d;
}

Keyboard::~Keyboard()
{
    if (m_display)
        XCloseDisplay(dpy(m_display));
}

bool Keyboard::isOpen() const
{
    return m_display != nullptr;
}

qint64 Keyboard::pressChord(const char *modifierKeysym, const char *keysym)
{
    Display *d = dpy(m_display);
    if (!d)
        return -1;
    const KeyCode modifier = XKeysymToKeycode(d, XStringToKeysym(modifierKeysym));
    const KeyCode key = XKeysymToKeycode(d, XStringToKeysym(keysym));
    if (!modifier || !key)
        return -1;
    XTestFakeKeyEvent(d, modifier, True, CurrentTime);
    XFlush(d);
    const qint64 at = nowUs();
    XTestFakeKeyEvent(d, key, True, CurrentTime);
    XFlush(d);
    XTestFakeKeyEvent(d, key, False, CurrentTime);
    XTestFakeKeyEvent(d, modifier, False, CurrentTime);
    XSync(d, False);
    return at;
}

int Keyboard::closeWindowsOf(qint64 pid)
{
    Display *d = dpy(m_display);
    if (!d)
        return 0;
    const Atom close = XInternAtom(d, "_NET_CLOSE_WINDOW", False);
    int asked = 0;
    for (Window w : managedWindows(d)) {
        if (windowPid(d, w) != pid || !isMapped(d, w))
            continue;
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = w;
        event.xclient.message_type = close;
        event.xclient.format = 32;
        event.xclient.data.l[0] = CurrentTime;
        event.xclient.data.l[1] = 2; // from a pager or taskbar: a direct user request
        XSendEvent(d, DefaultRootWindow(d), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
        ++asked;
    }
    XSync(d, False);
    return asked;
}

int Keyboard::visibleWindowsOf(qint64 pid)
{
    Display *d = dpy(m_display);
    if (!d)
        return 0;
    int n = 0;
    for (Window w : managedWindows(d)) {
        if (windowPid(d, w) == pid && isMapped(d, w))
            ++n;
    }
    return n;
}

} // namespace benchx11
