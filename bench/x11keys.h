#pragma once

#include <QString>
#include <QtGlobal>

// The benchmark's own X11 client: presses keys through XTest as a person's keyboard would, and
// closes another process's windows the way a user's click on the close button does. Kept apart
// from the Qt code because Xlib's macros clash with Qt names.
namespace benchx11 {

class Keyboard
{
public:
    Keyboard();
    ~Keyboard();
    Keyboard(const Keyboard &) = delete;
    Keyboard &operator=(const Keyboard &) = delete;

    bool isOpen() const;
    QString error() const { return m_error; }

    // Presses and releases modifier+key. Returns CLOCK_MONOTONIC microseconds at the moment
    // the key itself went down (after the modifier), or -1.
    qint64 pressChord(const char *modifierKeysym, const char *keysym);

    // Asks the window manager to close every managed top-level window whose _NET_WM_PID is
    // `pid`. Returns how many were asked.
    int closeWindowsOf(qint64 pid);
    // Managed top-level windows of `pid` that are still mapped.
    int visibleWindowsOf(qint64 pid);

private:
    void *m_display = nullptr;
    QString m_error;
};

} // namespace benchx11
