#include "support/memoryauthstorage.h"

#include <QCoreApplication>
#include <QThread>

namespace voxendo::test {

void MemoryAuthStorage::enter(KeychainError::Kind kind)
{
    QMutexLocker lock(&m_mutex);
    ++m_calls;
    if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())
        m_calledOnMainThread = true;
    if (auto failure = m_failures.find(int(kind)); failure != m_failures.end())
        throw KeychainError(kind, failure.value());
}

void MemoryAuthStorage::store(const QString &key, const QByteArray &value)
{
    enter(KeychainError::Kind::unableToStore);
    QMutexLocker lock(&m_mutex);
    m_items.insert(key, value);
}

std::optional<QByteArray> MemoryAuthStorage::retrieve(const QString &key)
{
    enter(KeychainError::Kind::unableToRetrieve);
    QMutexLocker lock(&m_mutex);
    if (auto it = m_items.find(key); it != m_items.end())
        return it.value();
    return std::nullopt;
}

void MemoryAuthStorage::remove(const QString &key)
{
    enter(KeychainError::Kind::unableToRemove);
    QMutexLocker lock(&m_mutex);
    m_items.remove(key);
}

std::optional<QByteArray> MemoryAuthStorage::value(const QString &key) const
{
    QMutexLocker lock(&m_mutex);
    if (auto it = m_items.find(key); it != m_items.end())
        return it.value();
    return std::nullopt;
}

void MemoryAuthStorage::setValue(const QString &key, const QByteArray &value)
{
    QMutexLocker lock(&m_mutex);
    m_items.insert(key, value);
}

QStringList MemoryAuthStorage::keys() const
{
    QMutexLocker lock(&m_mutex);
    QStringList keys = m_items.keys();
    keys.sort();
    return keys;
}

void MemoryAuthStorage::setFailure(KeychainError::Kind kind, std::optional<qint32> status)
{
    QMutexLocker lock(&m_mutex);
    if (status)
        m_failures.insert(int(kind), *status);
    else
        m_failures.remove(int(kind));
}

int MemoryAuthStorage::calls() const
{
    QMutexLocker lock(&m_mutex);
    return m_calls;
}

bool MemoryAuthStorage::calledOnMainThread() const
{
    QMutexLocker lock(&m_mutex);
    return m_calledOnMainThread;
}

} // namespace voxendo::test
