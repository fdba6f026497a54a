#pragma once

#include "platform/status.h"

#include <QObject>
#include <QString>
#include <memory>

namespace voxendo::platform {

// Tells when another application fetches the clipboard contents this process serves. A paste
// on X11 is a request to the clipboard owner, so this is how we learn that the target has
// actually taken the text we put there, rather than guessing from a fixed delay.
class ClipboardFetchWatcher : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Ok when fetches can be observed in this session; otherwise why not.
    virtual Status status() const = 0;

Q_SIGNALS:
    // Another application asked us for the clipboard in `format` (a MIME type, or an X11 target
    // name such as "TARGETS" or "UTF8_STRING"). Delivered after the request has been answered.
    void fetchRequested(const QString &format);
};

// The implementation for the session this process runs in.
std::unique_ptr<ClipboardFetchWatcher> createClipboardFetchWatcher();

} // namespace voxendo::platform
