#pragma once

#include <QString>
#include <QTest>

namespace voxendo::test {

// Pieces of the headless session that scripts/test-session.sh provides.
enum class SessionPart { X11, Pulse, Keyring, DBus };

// Empty when the part is there, else a message that says what is missing and how to get it.
QString missingSessionPart(SessionPart part);

// True when running under CI (CI=true): a missing session part is then a failure, not a skip.
bool runningInCi();

// Scratch directory of the session (removed with it), or the system temp dir outside it.
QString sessionScratchDir();

} // namespace voxendo::test

// Use at the top of a test function (or initTestCase) that needs part of the headless session.
#define VOXENDO_REQUIRE_SESSION(part)                                                      \
    do {                                                                                   \
        const QString missing_ = voxendo::test::missingSessionPart(part);                  \
        if (!missing_.isEmpty()) {                                                         \
            if (voxendo::test::runningInCi())                                              \
                QFAIL(qPrintable(missing_));                                               \
            QSKIP(qPrintable(missing_));                                                   \
        }                                                                                  \
    } while (false)
