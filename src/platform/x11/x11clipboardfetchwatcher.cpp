#include "platform/x11/x11clipboardfetchwatcher.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>

namespace voxendo::platform {

X11ClipboardFetchWatcher::X11ClipboardFetchWatcher(QObject *parent)
    : ClipboardFetchWatcher(parent)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    m_connection = x11 ? x11->connection() : nullptr;
    if (!m_connection)
        return;
    const char name[] = "CLIPBOARD";
    xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
        m_connection, xcb_intern_atom(m_connection, 0, sizeof name - 1, name), nullptr);
    if (reply) {
        m_clipboardAtom = reply->atom;
        free(reply);
    }
    if (m_clipboardAtom != 0)
        QCoreApplication::instance()->installNativeEventFilter(this);
}

X11ClipboardFetchWatcher::~X11ClipboardFetchWatcher()
{
    if (m_clipboardAtom != 0 && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

Status X11ClipboardFetchWatcher::status() const
{
    if (m_clipboardAtom == 0) {
        return Status::failure(1, QStringLiteral("clipboard requests cannot be observed outside an X11 session"));
    }
    return Status::success();
}

QString X11ClipboardFetchWatcher::atomName(uint32_t atom)
{
    const auto cached = m_atomNames.constFind(atom);
    if (cached != m_atomNames.cend())
        return *cached;
    QString name;
    if (xcb_get_atom_name_reply_t *reply =
            xcb_get_atom_name_reply(m_connection, xcb_get_atom_name(m_connection, atom), nullptr)) {
        name = QString::fromLatin1(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply));
        free(reply);
    }
    m_atomNames.insert(atom, name);
    return name;
}

bool X11ClipboardFetchWatcher::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    if ((event->response_type & 0x7f) != XCB_SELECTION_REQUEST)
        return false;
    const auto *request = reinterpret_cast<const xcb_selection_request_event_t *>(event);
    if (request->selection != m_clipboardAtom)
        return false;
    // Queued: Qt answers the request after this filter returns, and a listener that changes the
    // clipboard in response must not do so before that answer has gone out.
    QMetaObject::invokeMethod(this, [this, format = atomName(request->target)] {
        Q_EMIT fetchRequested(format);
    }, Qt::QueuedConnection);
    return false;
}

std::unique_ptr<ClipboardFetchWatcher> createClipboardFetchWatcher()
{
    return std::make_unique<X11ClipboardFetchWatcher>();
}

} // namespace voxendo::platform
