#pragma once

#include "account/authtypes.h"

#include <coroutine>
#include <deque>
#include <memory>
#include <optional>

namespace voxendo {

// One reader's view of the hosted-auth client's session-state changes: an asynchronous
// sequence that the reader takes one change at a time,
//
//     while (auto change = co_await stream->next()) { ... }
//
// Changes queue up while the reader is busy, so none is lost between two awaits. A waiting
// reader is resumed from the event loop, never from inside the client's own call. The sequence
// ends (next() gives none) when the client goes away or the reader closes it; a reader that
// closes its own stream is resumed at once, which is how an owner cancels its listener before
// it is destroyed. Main thread only.
class AuthStateStream : public std::enable_shared_from_this<AuthStateStream>
{
public:
    class Awaiter
    {
    public:
        explicit Awaiter(std::shared_ptr<AuthStateStream> stream) : m_stream(std::move(stream)) {}
        bool await_ready() const noexcept;
        void await_suspend(std::coroutine_handle<> reader) noexcept;
        std::optional<AuthStateChange> await_resume();

    private:
        std::shared_ptr<AuthStateStream> m_stream;
    };

    Awaiter next() { return Awaiter(shared_from_this()); }
    void close();
    bool isClosed() const { return m_closed; }

    // For the client that feeds the stream.
    void push(AuthStateChange change);

private:
    void wake();

    std::deque<AuthStateChange> m_queue;
    std::coroutine_handle<> m_reader;
    bool m_closed = false;
    bool m_wakeScheduled = false;
};

} // namespace voxendo
