#pragma once

#include <QString>
#include <exception>

namespace voxendo {

// A keychain call that failed, with the platform status it returned. Raised by the session
// storage's store / retrieve / remove and by the personal key store's save; the only error type
// that crosses a subsystem boundary as an exception.
class KeychainError : public std::exception
{
public:
    enum class Kind { unableToStore, unableToRetrieve, unableToRemove };

    KeychainError(Kind kind, qint32 status);

    Kind kind() const { return m_kind; }
    qint32 status() const { return m_status; }
    // "Unable to store item in Keychain: -25300" (the status in decimal, with its sign).
    QString localizedDescription() const;
    const char *what() const noexcept override { return m_what.constData(); }

private:
    Kind m_kind;
    qint32 m_status;
    QByteArray m_what;
};

} // namespace voxendo
