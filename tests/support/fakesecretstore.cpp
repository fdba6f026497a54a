#include "support/fakesecretstore.h"

namespace voxendo::test {
namespace {

bool matches(const platform::SecretAttributes &item, const platform::SecretAttributes &query)
{
    for (auto it = query.cbegin(); it != query.cend(); ++it) {
        if (!item.contains(it.key()) || item.value(it.key()) != it.value())
            return false;
    }
    return true;
}

QString describeCall(const char *operation, const platform::SecretAttributes &query)
{
    return QLatin1String(operation) + QLatin1Char(' ') + query.keys().join(QLatin1Char(','));
}

} // namespace

platform::Status FakeSecretStore::add(const platform::SecretAttributes &attributes, const QByteArray &data)
{
    std::lock_guard lock(m_mutex);
    m_calls.append(describeCall("add", attributes));
    if (m_failAdd)
        return platform::SecretStatus::make(*m_failAdd);
    m_items.removeIf([&](const Item &item) { return item.attributes == attributes; });
    m_items.append({attributes, data});
    return platform::Status::success();
}

platform::Result<QByteArray> FakeSecretStore::copyMatching(const platform::SecretAttributes &query)
{
    std::lock_guard lock(m_mutex);
    m_calls.append(describeCall("copy", query));
    if (m_failCopy)
        return platform::Result<QByteArray>::failure(platform::SecretStatus::make(*m_failCopy));
    for (const Item &item : std::as_const(m_items)) {
        if (matches(item.attributes, query))
            return platform::Result<QByteArray>::success(item.data);
    }
    return platform::Result<QByteArray>::failure(
        platform::SecretStatus::make(platform::SecretStatus::itemNotFound));
}

platform::Status FakeSecretStore::deleteMatching(const platform::SecretAttributes &query)
{
    std::lock_guard lock(m_mutex);
    m_calls.append(describeCall("delete", query));
    if (m_failDelete)
        return platform::SecretStatus::make(*m_failDelete);
    const auto removed = m_items.removeIf([&](const Item &item) { return matches(item.attributes, query); });
    return platform::SecretStatus::make(removed ? platform::SecretStatus::success
                                                : platform::SecretStatus::itemNotFound);
}

void FakeSecretStore::failAdd(std::optional<int> status)
{
    std::lock_guard lock(m_mutex);
    m_failAdd = status;
}

void FakeSecretStore::failCopy(std::optional<int> status)
{
    std::lock_guard lock(m_mutex);
    m_failCopy = status;
}

void FakeSecretStore::failDelete(std::optional<int> status)
{
    std::lock_guard lock(m_mutex);
    m_failDelete = status;
}

QList<FakeSecretStore::Item> FakeSecretStore::items() const
{
    std::lock_guard lock(m_mutex);
    return m_items;
}

void FakeSecretStore::insert(const Item &item)
{
    std::lock_guard lock(m_mutex);
    m_items.append(item);
}

QStringList FakeSecretStore::calls() const
{
    std::lock_guard lock(m_mutex);
    return m_calls;
}

void FakeSecretStore::clearCalls()
{
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

} // namespace voxendo::test
