#include "devserver/passwordhash.h"

#include <QPasswordDigestor>
#include <QStringList>
#include <QRandomGenerator>

namespace voxendo::devserver::PasswordHash {

namespace {

constexpr int kSaltBytes = 16;
constexpr int kKeyBytes = 32;
constexpr int kMaximumIterations = 10'000'000;
const QString kScheme = QStringLiteral("pbkdf2-sha256");

QByteArray derive(const QString &password, const QByteArray &salt, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password.toUtf8(), salt,
                                              iterations, kKeyBytes);
}

} // namespace

QString make(const QString &password, int iterations)
{
    iterations = qBound(kMinimumIterations, iterations, kMaximumIterations);
    QByteArray salt(kSaltBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(salt.data()),
                                          kSaltBytes / int(sizeof(quint32)));
    return kScheme + u'$' + QString::number(iterations) + u'$' + QString::fromLatin1(salt.toBase64())
        + u'$' + QString::fromLatin1(derive(password, salt, iterations).toBase64());
}

bool verify(const QString &password, const QString &encoded)
{
    const QStringList parts = encoded.split(u'$');
    if (parts.size() != 4 || parts[0] != kScheme)
        return false;
    bool ok = false;
    const int iterations = parts[1].toInt(&ok);
    if (!ok || iterations < 1 || iterations > kMaximumIterations)
        return false;
    const QByteArray salt = QByteArray::fromBase64(parts[2].toLatin1());
    const QByteArray expected = QByteArray::fromBase64(parts[3].toLatin1());
    if (salt.isEmpty() || expected.size() != kKeyBytes)
        return false;
    return constantTimeEquals(derive(password, salt, iterations), expected);
}

bool constantTimeEquals(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    // volatile keeps the compiler from turning the loop into an early-exit comparison.
    volatile unsigned char result = diff;
    return result == 0;
}

} // namespace voxendo::devserver::PasswordHash
