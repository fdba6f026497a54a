#pragma once

#include "platform/hotkeybackend.h"

#include <QList>
#include <optional>

namespace voxendo::test {

// A hot-key backend without a desktop: records what it is asked to hold, refuses on request,
// and trigger() plays a press of the held chord.
class FakeHotkeyBackend : public platform::HotkeyBackend
{
    Q_OBJECT

public:
    using HotkeyBackend::HotkeyBackend;

    platform::Status registerHotkey(const platform::HotkeyChord &chord) override;
    void unregisterHotkey() override;

    // The next registrations fail with this status until cleared (std::nullopt).
    void setRefusal(std::optional<platform::Status> status) { m_refusal = std::move(status); }

    // Presses the held chord; false (and no signal) when nothing is held.
    bool trigger();

    std::optional<platform::HotkeyChord> heldChord() const { return m_held; }
    // Every registration attempt, in order, refused ones included.
    QList<platform::HotkeyChord> attempts() const { return m_attempts; }
    int unregisterCount() const { return m_unregisterCount; }

private:
    std::optional<platform::Status> m_refusal;
    std::optional<platform::HotkeyChord> m_held;
    QList<platform::HotkeyChord> m_attempts;
    int m_unregisterCount = 0;
};

} // namespace voxendo::test
