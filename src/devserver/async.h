#pragma once

#include <QFuture>
#include <QFutureWatcher>
#include <QObject>

namespace voxendo::devserver {

// Runs `then(future)` on `context`'s thread once `future` has finished, or never if `context`
// is destroyed first. (QFuture::then with a context object is not safe against the context's
// destruction in Qt 6.4; a watcher owned by the context is.)
template <typename T, typename F>
void whenFinished(QObject *context, QFuture<T> future, F then)
{
    auto *watcher = new QFutureWatcher<T>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, then = std::move(then)]() mutable {
                         watcher->deleteLater();
                         then(watcher->future());
                     });
    watcher->setFuture(future);
}

} // namespace voxendo::devserver
