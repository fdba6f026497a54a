#include "account/authstatestream.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace voxendo {

bool AuthStateStream::Awaiter::await_ready() const noexcept
{
    return m_stream->m_closed || !m_stream->m_queue.empty();
}

void AuthStateStream::Awaiter::await_suspend(std::coroutine_handle<> reader) noexcept
{
    m_stream->m_reader = reader;
}

std::optional<AuthStateChange> AuthStateStream::Awaiter::await_resume()
{
    AuthStateStream &s = *m_stream;
    if (s.m_closed || s.m_queue.empty())
        return std::nullopt;
    AuthStateChange change = std::move(s.m_queue.front());
    s.m_queue.pop_front();
    return change;
}

void AuthStateStream::push(AuthStateChange change)
{
    if (m_closed)
        return;
    m_queue.push_back(std::move(change));
    if (!m_reader || m_wakeScheduled)
        return;
    // Resume the reader from the event loop: the client is in the middle of its own work here.
    m_wakeScheduled = true;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->wake();
        },
        Qt::QueuedConnection);
}

void AuthStateStream::wake()
{
    m_wakeScheduled = false;
    if (m_queue.empty() && !m_closed)
        return;
    if (auto reader = std::exchange(m_reader, {}))
        reader.resume();
}

void AuthStateStream::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_queue.clear();
    // Keep this object alive while the reader runs to its end.
    auto keep = shared_from_this();
    if (auto reader = std::exchange(m_reader, {}))
        reader.resume();
}

} // namespace voxendo
