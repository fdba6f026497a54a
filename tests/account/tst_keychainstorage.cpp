// The auth client's session storage: the delete-delete-add store, the in-group-only read and
// remove, the error kinds and texts — against the session's real GNOME Keyring where the
// keyring's own matching matters, and against the in-memory store for injected failures.
#include <libsecret/secret.h>

#include "account/keychainauthstorage.h"
#include "account/keychainerror.h"
#include "platform/secretstore.h"
#include "support/capture.h"
#include "support/fakesecretstore.h"
#include "support/testsession.h"

#include <QDateTime>
#include <QDirIterator>
#include <QTest>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

using namespace voxendo;
using namespace voxendo::test;
namespace SecretStatus = platform::SecretStatus;

namespace {

const QString kGroup = QStringLiteral("K8V3N6Q2P5.com.voxendo.app");

QString unique(const char *prefix)
{
    return QLatin1String(prefix) + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

template <typename F>
std::optional<KeychainError> raisedBy(F call)
{
    try {
        call();
    } catch (const KeychainError &error) {
        return error;
    }
    return std::nullopt;
}

// What the keyring really holds for a service and account, whatever the access group, read with
// libsecret directly: access group -> secret.
QMap<QString, QByteArray> keyringItems(const QString &service, const QString &account)
{
    QMap<QString, QByteArray> found;
    GHashTable *query = g_hash_table_new(g_str_hash, g_str_equal);
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    g_hash_table_insert(query, (gpointer) "service", (gpointer) s.constData());
    g_hash_table_insert(query, (gpointer) "account", (gpointer) a.constData());
    GList *items = secret_service_search_sync(
        nullptr, nullptr, query, SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
        nullptr, nullptr);
    for (GList *l = items; l; l = l->next) {
        auto *item = static_cast<SecretItem *>(l->data);
        GHashTable *attributes = secret_item_get_attributes(item);
        const QString group = QString::fromUtf8(static_cast<const char *>(g_hash_table_lookup(attributes, "accessGroup")));
        g_hash_table_unref(attributes);
        QByteArray secret;
        if (SecretValue *value = secret_item_get_secret(item)) {
            gsize length = 0;
            const char *bytes = secret_value_get(value, &length);
            secret = QByteArray(bytes, qsizetype(length));
            secret_value_unref(value);
        }
        found.insert(group, secret);
    }
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(query);
    return found;
}

// Files under `dir` written since `since` that contain `needle`.
QStringList filesContaining(const QString &dir, const QByteArray &needle, const QDateTime &since)
{
    QStringList hits;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().lastModified() < since || it.fileInfo().size() > 16 * 1024 * 1024)
            continue;
        QFile file(it.filePath());
        if (file.open(QIODevice::ReadOnly) && file.readAll().contains(needle))
            hits.append(it.filePath());
    }
    return hits;
}

} // namespace

class TestKeychainStorage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void errorTexts_data()
    {
        QTest::addColumn<KeychainError::Kind>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        using K = KeychainError::Kind;
        QTest::newRow("store") << K::unableToStore << -26002 << "Unable to store item in Keychain: -26002";
        QTest::newRow("retrieve") << K::unableToRetrieve << -26001 << "Unable to retrieve item from Keychain: -26001";
        QTest::newRow("remove") << K::unableToRemove << -34018 << "Unable to remove item from Keychain: -34018";
    }
    void errorTexts()
    {
        QFETCH(KeychainError::Kind, kind);
        QFETCH(int, status);
        QFETCH(QString, text);
        const KeychainError error(kind, status);
        QCOMPARE(error.localizedDescription(), text);
        QCOMPARE(QString::fromUtf8(error.what()), text);
    }

    void storeRetrieveRemoveInTheKeyring()
    {
        VOXENDO_REQUIRE_SESSION(SessionPart::Keyring);
        const QDateTime started = QDateTime::currentDateTime().addSecs(-1);
        LogCapture logs;
        const QString service = unique("com.voxendo.app.auth.test-");
        const QString key = QStringLiteral("supabase.auth.token");
        KeychainAuthStorage storage(service, kGroup);
        QCOMPARE(storage.service(), service);
        QCOMPARE(storage.accessGroup(), kGroup);

        // Never stored: none, and removing it is fine.
        QCOMPARE(storage.retrieve(key), std::nullopt);
        QVERIFY(!raisedBy([&] { storage.remove(key); }));

        // Stored unchanged, bytes that are not text included.
        const QByteArray first = unique("{\"access_token\":\"").toUtf8() + QByteArray("\0\xff\"}", 4);
        storage.store(key, first);
        QCOMPARE(storage.retrieve(key), first);

        // A second store replaces: one item, holding the second value.
        const QByteArray second = unique("second-").toUtf8();
        storage.store(key, second);
        QCOMPARE(storage.retrieve(key), second);
        QCOMPARE(keyringItems(service, key), (QMap<QString, QByteArray>{{kGroup, second}}));

        storage.remove(key);
        QCOMPARE(storage.retrieve(key), std::nullopt);
        QVERIFY(keyringItems(service, key).isEmpty());

        // The auth client calls from its own thread.
        const auto fromWorker = QtConcurrent::run([&] {
            storage.store(key, first);
            return storage.retrieve(key);
        }).result();
        QCOMPARE(fromWorker, first);
        storage.remove(key);

        // No value ever reaches a log line or a file of the session (settings, temp files; the
        // keyring's own file is encrypted).
        for (const QByteArray &value : {first.left(40), second})
        {
            QVERIFY(!logs.contains(QString::fromUtf8(value)));
            QCOMPARE(filesContaining(sessionScratchDir(), value, started), QStringList());
        }
    }

    void copyInAnotherAccessGroup()
    {
        VOXENDO_REQUIRE_SESSION(SessionPart::Keyring);
        const QString service = unique("com.voxendo.app.auth.test-");
        const QString key = QStringLiteral("supabase.auth.token");
        const QString otherGroup = QStringLiteral("OTHER00000.com.example.other");
        auto secrets = platform::systemSecretStore();
        KeychainAuthStorage storage(service, kGroup, secrets);
        auto addDirectly = [&](const QString &group, const QByteArray &value) {
            platform::SecretAttributes attributes{{platform::SecretAttribute::service, service},
                                                  {platform::SecretAttribute::account, key},
                                                  {platform::SecretAttribute::accessGroup, group}};
            QVERIFY(secrets->add(attributes, value).ok());
        };

        addDirectly(otherGroup, "other");
        QCOMPARE(storage.retrieve(key), std::nullopt);         // never read
        storage.remove(key);                                    // never deleted
        QCOMPARE(keyringItems(service, key), (QMap<QString, QByteArray>{{otherGroup, "other"}}));

        // With both present, only the group's own item is read.
        addDirectly(kGroup, "mine");
        for (int i = 0; i < 5; ++i)
            QCOMPARE(storage.retrieve(key), QByteArray("mine"));

        // The next store removes the copy outside the group.
        storage.store(key, "new");
        QCOMPARE(keyringItems(service, key), (QMap<QString, QByteArray>{{kGroup, "new"}}));
        storage.remove(key);
    }

    void storeIsDeleteDeleteAdd()
    {
        auto fake = std::make_shared<FakeSecretStore>();
        KeychainAuthStorage storage(QStringLiteral("com.voxendo.app.auth"), kGroup, fake);
        // Refused deletions do not stop the add.
        fake->failDelete(SecretStatus::failed);
        storage.store(QStringLiteral("k"), "v");
        QCOMPARE(fake->calls(), (QStringList{QStringLiteral("delete accessGroup,account,service"),
                                             QStringLiteral("delete account,service"),
                                             QStringLiteral("add accessGroup,account,service")}));
        QCOMPARE(fake->items().size(), 1);
        QCOMPARE(fake->items().first().attributes.value(QStringLiteral("accessGroup")), kGroup);
        QCOMPARE(fake->items().first().attributes.value(QStringLiteral("account")), QStringLiteral("k"));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("failing");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("raised"); // -1: nothing raised
        using K = KeychainError::Kind;
        QTest::newRow("store refused") << "store" << "add" << SecretStatus::locked << int(K::unableToStore);
        QTest::newRow("store, unavailable") << "store" << "add" << SecretStatus::unavailable << int(K::unableToStore);
        QTest::newRow("retrieve absent") << "retrieve" << "copy" << SecretStatus::itemNotFound << -1;
        QTest::newRow("retrieve locked") << "retrieve" << "copy" << SecretStatus::locked << int(K::unableToRetrieve);
        QTest::newRow("retrieve timed out") << "retrieve" << "copy" << SecretStatus::timedOut << int(K::unableToRetrieve);
        QTest::newRow("remove absent") << "remove" << "delete" << SecretStatus::itemNotFound << -1;
        QTest::newRow("remove refused") << "remove" << "delete" << SecretStatus::failed << int(K::unableToRemove);
    }
    void failures()
    {
        QFETCH(QString, operation);
        QFETCH(QString, failing);
        QFETCH(int, status);
        QFETCH(int, raised);
        auto fake = std::make_shared<FakeSecretStore>();
        if (failing == "add")
            fake->failAdd(status);
        else if (failing == "copy")
            fake->failCopy(status);
        else
            fake->failDelete(status);
        KeychainAuthStorage storage(QStringLiteral("com.voxendo.app.auth"), kGroup, fake);

        std::optional<QByteArray> read = QByteArray("untouched");
        const auto error = raisedBy([&] {
            if (operation == "store")
                storage.store(QStringLiteral("k"), "v");
            else if (operation == "retrieve")
                read = storage.retrieve(QStringLiteral("k"));
            else
                storage.remove(QStringLiteral("k"));
        });
        if (raised < 0) {
            QVERIFY(!error);
            if (operation == "retrieve")
                QCOMPARE(read, std::nullopt);
            return;
        }
        QVERIFY(error);
        QCOMPARE(int(error->kind()), raised);
        QCOMPARE(error->status(), status);
        QVERIFY(error->localizedDescription().endsWith(QStringLiteral(": ") + QString::number(status)));
    }
};

QTEST_MAIN(TestKeychainStorage)
#include "tst_keychainstorage.moc"
