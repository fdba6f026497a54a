#include "support/fakehotkeybackend.h"

namespace voxendo::test {

platform::Status FakeHotkeyBackend::registerHotkey(const platform::HotkeyChord &chord)
{
    m_attempts.append(chord);
    // Like a real grab: the previous chord is released whatever the outcome.
    m_held.reset();
    if (m_refusal)
        return *m_refusal;
    m_held = chord;
    return platform::Status::success();
}

void FakeHotkeyBackend::unregisterHotkey()
{
    ++m_unregisterCount;
    m_held.reset();
}

bool FakeHotkeyBackend::trigger()
{
    if (!m_held)
        return false;
    Q_EMIT pressed();
    return true;
}

} // namespace voxendo::test
