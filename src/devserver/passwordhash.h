#pragma once

#include <QByteArray>
#include <QString>

namespace voxendo::devserver::PasswordHash {

// PBKDF2-HMAC-SHA256, 32-byte key, 16-byte random salt per password. Encoded as
// "pbkdf2-sha256$<iterations>$<salt, base64>$<key, base64>" so the iteration count can be raised
// later without invalidating stored hashes. Deriving costs about 4 µs per iteration here
// (100,000 ≈ 0.4 s): run it off the server thread.
constexpr int kDefaultIterations = 100000;
constexpr int kMinimumIterations = 1000;

QString make(const QString &password, int iterations);
// False for a wrong password and for anything that is not a hash of ours.
bool verify(const QString &password, const QString &encoded);

// Compares in time that depends only on the lengths, never on where the bytes differ.
bool constantTimeEquals(QByteArrayView a, QByteArrayView b);

} // namespace voxendo::devserver::PasswordHash
