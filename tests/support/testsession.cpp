#include "support/testsession.h"

#include <QDir>

namespace voxendo::test {

QString missingSessionPart(SessionPart part)
{
    const QString hint = QStringLiteral(" (run the tests through scripts/test.sh or scripts/test-session.sh)");
    switch (part) {
    case SessionPart::X11:
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            return QStringLiteral("no X11 display: DISPLAY is not set") + hint;
        return {};
    case SessionPart::Pulse:
        if (qEnvironmentVariableIsEmpty("VOXENDO_TEST_SOURCE"))
            return QStringLiteral("no virtual microphone: VOXENDO_TEST_SOURCE is not set") + hint;
        return {};
    case SessionPart::DBus:
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
            return QStringLiteral("no D-Bus session bus: DBUS_SESSION_BUS_ADDRESS is not set") + hint;
        return {};
    case SessionPart::Keyring:
        if (qEnvironmentVariableIsEmpty("VOXENDO_TEST_KEYRING"))
            return QStringLiteral("no unlocked test keyring: VOXENDO_TEST_KEYRING is not set") + hint;
        return {};
    }
    return {};
}

bool runningInCi()
{
    const QString ci = qEnvironmentVariable("CI").toLower();
    return !ci.isEmpty() && ci != QLatin1String("0") && ci != QLatin1String("false");
}

QString sessionScratchDir()
{
    const QString dir = qEnvironmentVariable("VOXENDO_SESSION_DIR");
    return dir.isEmpty() ? QDir::tempPath() : dir;
}

} // namespace voxendo::test
