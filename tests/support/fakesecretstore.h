#pragma once

#include "platform/secretstore.h"

#include <QList>
#include <QStringList>

#include <mutex>
#include <optional>

namespace voxendo::test {

// An in-memory secret store with the Secret Service's matching rules: an item matches when it
// has every attribute of the query with the same value; adding an item with exactly the same
// attributes replaces it. Each operation can be made to fail with a chosen status.
// Safe to use from several threads.
class FakeSecretStore final : public platform::SecretStore
{
public:
    struct Item
    {
        platform::SecretAttributes attributes;
        QByteArray data;
    };

    platform::Status add(const platform::SecretAttributes &attributes, const QByteArray &data) override;
    platform::Result<QByteArray> copyMatching(const platform::SecretAttributes &query) override;
    platform::Status deleteMatching(const platform::SecretAttributes &query) override;

    // Every later call of that operation answers `status` (nullopt: behave normally again).
    void failAdd(std::optional<int> status);
    void failCopy(std::optional<int> status);
    void failDelete(std::optional<int> status);

    QList<Item> items() const;
    void insert(const Item &item); // bypasses failure injection
    // The operations in call order: "add", "copy", "delete", each with the query's attribute
    // names, e.g. "delete service,account".
    QStringList calls() const;
    void clearCalls();

private:
    mutable std::mutex m_mutex;
    QList<Item> m_items;
    QStringList m_calls;
    std::optional<int> m_failAdd, m_failCopy, m_failDelete;
};

} // namespace voxendo::test
