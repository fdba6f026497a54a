#include "platform/x11/x11overlaywindow.h"

#include <QGuiApplication>
#include <QList>
#include <QWindow>

#include <xcb/xcb.h>

#include <cstring>

namespace voxendo::platform {

namespace {

xcb_atom_t internAtom(xcb_connection_t *connection, const char *name)
{
    xcb_atom_t atom = XCB_ATOM_NONE;
    if (xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(strlen(name)), name), nullptr)) {
        atom = reply->atom;
        free(reply);
    }
    return atom;
}

} // namespace

Status X11OverlayWindowHints::applyTo(QWindow &window)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return Status::failure(1, QStringLiteral("not an X11 session"));
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return Status::failure(1, QStringLiteral("no X11 connection"));
    const auto id = xcb_window_t(window.winId());

    const xcb_atom_t desktop = internAtom(connection, "_NET_WM_DESKTOP");
    const xcb_atom_t state = internAtom(connection, "_NET_WM_STATE");
    QList<xcb_atom_t> states;
    for (const char *name : {"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
        if (const xcb_atom_t atom = internAtom(connection, name); atom != XCB_ATOM_NONE)
            states.append(atom);
    }
    if (desktop == XCB_ATOM_NONE || state == XCB_ATOM_NONE)
        return Status::failure(2, QStringLiteral("could not intern the EWMH atoms"));

    const uint32_t allDesktops = 0xFFFFFFFF;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, desktop, XCB_ATOM_CARDINAL, 32, 1, &allDesktops);
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32,
                        uint32_t(states.size()), states.constData());
    xcb_flush(connection);
    return Status::success();
}

std::unique_ptr<OverlayWindowHints> createOverlayWindowHints()
{
    return std::make_unique<X11OverlayWindowHints>();
}

} // namespace voxendo::platform
