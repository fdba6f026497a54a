#pragma once

#include "platform/clipboardfetchwatcher.h"

#include <QAbstractNativeEventFilter>
#include <QHash>

#include <cstdint>

struct xcb_connection_t;

namespace voxendo::platform {

// Watches Qt's own X11 connection for SelectionRequest events on CLIPBOARD: each one is another
// client asking us, the owner, for the clipboard in some target. The filter only looks; Qt still
// answers the request.
class X11ClipboardFetchWatcher final : public ClipboardFetchWatcher, public QAbstractNativeEventFilter
{
    Q_OBJECT
public:
    explicit X11ClipboardFetchWatcher(QObject *parent = nullptr);
    ~X11ClipboardFetchWatcher() override;

    Status status() const override;
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    QString atomName(uint32_t atom);

    xcb_connection_t *m_connection = nullptr;
    uint32_t m_clipboardAtom = 0;
    QHash<uint32_t, QString> m_atomNames;
};

} // namespace voxendo::platform
