// The personal OpenAI key: its check against a fake OpenAI over HTTPS (messages and the order
// in which the observable state changes), its keyring item (in memory and in the session's real
// GNOME Keyring), and that the key never leaks into logs or files.
#include "account/keychainerror.h"
#include "platform/secretstore.h"
#include "support/capture.h"
#include "support/fakesecretstore.h"
#include "support/httpsfakeserver.h"
#include "support/testsession.h"
#include "transcription/apikeymanager.h"

#include <QDateTime>
#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlExtensionPlugin>
#include <QSignalSpy>
#include <QTest>
#include <QUuid>

Q_IMPORT_QML_PLUGIN(VoxendoPlugin)

using namespace voxendo;
using namespace voxendo::test;
using namespace std::chrono_literals;
namespace SecretStatus = platform::SecretStatus;

namespace {

const QString kFormat = APIKeyManager::formatMessage;
const QString kValidKey = QStringLiteral("sk-0123456789abcdefghijklmnop");

// The observable changes of a manager, in the order they were announced.
class ChangeLog
{
public:
    explicit ChangeLog(APIKeyManager &m)
    {
        QObject::connect(&m, &APIKeyManager::hasCustomKeyChanged, &m,
                         [&] { changes << QStringLiteral("hasCustomKey=%1").arg(m.hasCustomKey()); });
        QObject::connect(&m, &APIKeyManager::isValidatingChanged, &m,
                         [&] { changes << QStringLiteral("isValidating=%1").arg(m.isValidating()); });
        QObject::connect(&m, &APIKeyManager::validationErrorChanged, &m,
                         [&] { changes << QStringLiteral("validationError=") + m.validationError().value_or("none"); });
    }
    QStringList changes;
};

bool run(QCoro::Task<bool> task)
{
    return QCoro::waitFor(std::move(task));
}

platform::SecretAttributes keyItem()
{
    return {{platform::SecretAttribute::service, APIKeyManager::service},
            {platform::SecretAttribute::account, APIKeyManager::account},
            {platform::SecretAttribute::accessGroup, APIKeyManager::accessGroup}};
}

} // namespace

class TestAPIKeyManager : public QObject
{
    Q_OBJECT

    HttpsFakeServer *m_server = nullptr;
    std::unique_ptr<QNetworkAccessManager> m_nam;

    QString origin() const { return m_server->baseUrlString(); }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("VOXENDO_EXTRA_CA_FILE", HttpsFakeServer::trustedCaPath().toUtf8());
    }

    void init()
    {
        m_server = new HttpsFakeServer;
        QVERIFY(m_server->listen());
        // A fresh manager per test: one manager reuses a TLS session for the same host and port.
        m_nam = std::make_unique<QNetworkAccessManager>();
    }

    void cleanup()
    {
        m_nam.reset();
        delete m_server;
    }

    void validateKey_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("answer"); // HTTP status; 0 no request expected; -1 drop; -2 hang
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("changes");

        const QStringList checking{"isValidating=1"};
        auto failedWith = [&](const QString &message) {
            return checking + QStringList{"validationError=" + message, "isValidating=0"};
        };
        const QString sk16 = "sk-" + QString(16, 'a'), sk17 = "sk-" + QString(17, 'a');
        QTest::newRow("19 characters") << sk16 << 0 << false << QStringList{"validationError=" + kFormat};
        QTest::newRow("20 characters") << sk17 << 200 << true << checking + QStringList{"isValidating=0"};
        QTest::newRow("SK- upper case") << "SK-" + QString(20, 'a') << 0 << false << QStringList{"validationError=" + kFormat};
        QTest::newRow("line break inside") << sk17 + "\r\nX-Injected: 1" << 0 << false << QStringList{"validationError=" + kFormat};
        QTest::newRow("401") << kValidKey << 401 << false << failedWith("Invalid API key. Please check and try again.");
        QTest::newRow("429") << kValidKey << 429 << false << failedWith("OpenAI returned status 429. Please try again later.");
        QTest::newRow("500") << kValidKey << 500 << false << failedWith("OpenAI returned status 500. Please try again later.");
        QTest::newRow("dropped connection") << kValidKey << -1 << false << failedWith("Network error: Connection closed");
        QTest::newRow("time-out") << kValidKey << -2 << false << failedWith("Network error: The request timed out.");
    }
    void validateKey()
    {
        QFETCH(QString, key);
        QFETCH(int, answer);
        QFETCH(bool, accepted);
        QFETCH(QStringList, changes);

        if (answer == -1)
            m_server->route("GET", "/v1/models", [](const RecordedRequest &) { return FakeResponse::drop(); });
        else if (answer == -2)
            m_server->route("GET", "/v1/models", [](const RecordedRequest &) { return FakeResponse::hang(); });
        else if (answer > 0)
            m_server->enqueue("GET", "/v1/models",
                              FakeResponse::json(answer, QByteArray(R"({"object":"list","data":[]})")));

        auto secrets = std::make_shared<FakeSecretStore>();
        // The origin's trailing slash must not double the path's.
        APIKeyManager manager(secrets, m_nam.get(), origin() + "/", 400ms);
        ChangeLog log(manager);
        QCOMPARE(run(manager.validateKey(key)), accepted);
        QCOMPARE(log.changes, changes);
        QVERIFY(!manager.isValidating());
        QCOMPARE(manager.validationError().has_value(), !accepted);

        if (answer == 0) {
            QCOMPARE(m_server->requests().size(), 0);
            return;
        }
        QVERIFY(!m_server->requests().isEmpty());
        const RecordedRequest request = m_server->requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, QByteArray("/v1/models"));
        QCOMPARE(request.header("Authorization"), "Bearer " + key.toUtf8());
        QVERIFY(request.body.isEmpty());
        // A check stores nothing and leaves the stored-key flag alone.
        QVERIFY(secrets->items().isEmpty());
        QVERIFY(!manager.hasCustomKey());
    }

    void aNewCheckClearsTheOldMessageFirst()
    {
        m_server->enqueue("GET", "/v1/models", FakeResponse::json(401, QByteArray("{}")));
        m_server->enqueue("GET", "/v1/models", FakeResponse::json(200, QByteArray("{}")));
        APIKeyManager manager(std::make_shared<FakeSecretStore>(), m_nam.get(), origin());
        QVERIFY(!run(manager.validateKey(kValidKey)));
        ChangeLog log(manager);
        QVERIFY(run(manager.validateKey(kValidKey)));
        QCOMPARE(log.changes, (QStringList{"isValidating=1", "validationError=none", "isValidating=0"}));
    }

    void unusableOrigin_data()
    {
        QTest::addColumn<QString>("origin");
        QTest::newRow("empty") << QString();
        QTest::newRow("not a URL") << QStringLiteral("::not a url::");
        QTest::newRow("plain http") << QStringLiteral("http://localhost:9");
    }
    void unusableOrigin()
    {
        QFETCH(QString, origin);
        APIKeyManager manager(std::make_shared<FakeSecretStore>(), m_nam.get(), origin);
        ChangeLog log(manager);
        QVERIFY(!run(manager.validateKey(kValidKey)));
        QCOMPARE(log.changes, (QStringList{"isValidating=1", "validationError=Internal error creating validation URL.",
                                           "isValidating=0"}));
    }

    void saveLoadDelete()
    {
        auto secrets = std::make_shared<FakeSecretStore>();
        APIKeyManager manager(secrets, m_nam.get(), origin());
        QVERIFY(!manager.hasCustomKey());
        QCOMPARE(manager.loadKey(), std::nullopt);
        // Deleting what is not there: no error.
        manager.deleteKey();
        QVERIFY(!manager.hasCustomKey());
        QCOMPARE(manager.validationError(), std::nullopt);

        ChangeLog log(manager);
        secrets->clearCalls();
        manager.saveKey(QStringLiteral("sk-first-key-000000000"));
        QCOMPARE(secrets->calls(), (QStringList{"delete accessGroup,account,service", "delete account,service",
                                                "add accessGroup,account,service"}));
        manager.saveKey(kValidKey);
        QCOMPARE(secrets->items().size(), 1);
        QCOMPARE(secrets->items().first().attributes, keyItem());
        QCOMPARE(secrets->items().first().data, kValidKey.toUtf8());
        QCOMPARE(manager.loadKey(), kValidKey);
        QCOMPARE(log.changes, QStringList{"hasCustomKey=1"});

        // Start-up with a stored item.
        QVERIFY(APIKeyManager(secrets, m_nam.get(), origin()).hasCustomKey());

        manager.deleteKey();
        QCOMPARE(log.changes, (QStringList{"hasCustomKey=1", "hasCustomKey=0"}));
        QVERIFY(secrets->items().isEmpty());
        QVERIFY(!APIKeyManager(secrets, m_nam.get(), origin()).hasCustomKey());

        // Data that is not UTF-8 is no key.
        secrets->insert({keyItem(), QByteArray("sk-\xff\xfe-000000000000000")});
        QCOMPARE(manager.loadKey(), std::nullopt);
        QVERIFY(!APIKeyManager(secrets, m_nam.get(), origin()).hasCustomKey());
    }

    // The store's deletions run before its add: when the add is refused the old key is gone,
    // and the flag must say so rather than claim a key is still configured.
    void refusedSaveRaisesAndTellsTheTruth()
    {
        auto secrets = std::make_shared<FakeSecretStore>();
        secrets->insert({keyItem(), kValidKey.toUtf8()});
        APIKeyManager manager(secrets, m_nam.get(), origin());
        QVERIFY(manager.hasCustomKey());

        secrets->failAdd(SecretStatus::locked);
        try {
            manager.saveKey(QStringLiteral("sk-another-key-00000000"));
            QFAIL("saveKey did not raise");
        } catch (const KeychainError &error) {
            QCOMPARE(error.kind(), KeychainError::Kind::unableToStore);
            QCOMPARE(error.localizedDescription(), QStringLiteral("Unable to store item in Keychain: -26002"));
        }
        QVERIFY(!manager.hasCustomKey());
        QCOMPARE(manager.validationError(), std::nullopt);
    }

    // A removal the keyring refused must not look done: the key would be used again.
    void refusedDeleteIsReported()
    {
        auto secrets = std::make_shared<FakeSecretStore>();
        secrets->insert({keyItem(), kValidKey.toUtf8()});
        APIKeyManager manager(secrets, m_nam.get(), origin());
        secrets->failDelete(SecretStatus::failed);
        manager.deleteKey();
        QVERIFY(manager.hasCustomKey());
        QCOMPARE(manager.validationError(), QStringLiteral("Unable to remove item from Keychain: -26004"));
        QCOMPARE(manager.loadKey(), kValidKey);
    }

    // The Settings tab's "Save Key": trim, check, store; one check at a time.
    void validateAndSaveKey()
    {
        m_server->enqueue("GET", "/v1/models", FakeResponse::json(200, QByteArray("{}")).after(200));
        m_server->enqueue("GET", "/v1/models", FakeResponse::json(401, QByteArray("{}")));
        m_server->enqueue("GET", "/v1/models", FakeResponse::json(200, QByteArray("{}")));
        auto secrets = std::make_shared<FakeSecretStore>();
        APIKeyManager manager(secrets, m_nam.get(), origin());
        QSignalSpy finished(&manager, &APIKeyManager::keySaveFinished);

        manager.validateAndSaveKey(QStringLiteral("  ") + kValidKey + QStringLiteral("\n"));
        QVERIFY(manager.isValidating());
        manager.validateAndSaveKey(QStringLiteral("sk-ignored-while-checking-0000"));
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.takeFirst().at(0).toBool(), true);
        QCOMPARE(m_server->requests().size(), 1);
        QVERIFY(manager.hasCustomKey());
        QCOMPARE(manager.loadKey(), kValidKey);

        // Rejected: the stored key stays.
        manager.validateAndSaveKey(QStringLiteral("sk-rejected-key-00000000"));
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.takeFirst().at(0).toBool(), false);
        QCOMPARE(manager.loadKey(), kValidKey);
        QCOMPARE(manager.validationErrorText(), QStringLiteral("Invalid API key. Please check and try again."));

        // Accepted but the keyring refuses: reported, not dropped.
        secrets->failAdd(SecretStatus::timedOut);
        manager.validateAndSaveKey(QStringLiteral("sk-accepted-key-0000000"));
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.takeFirst().at(0).toBool(), false);
        QCOMPARE(manager.validationErrorText(), QStringLiteral("Unable to store item in Keychain: -26003"));
    }

    void startUpWithAKeyInTheKeyring()
    {
        VOXENDO_REQUIRE_SESSION(SessionPart::Keyring);
        const QDateTime started = QDateTime::currentDateTime().addSecs(-1);
        LogCapture logs;
        const QString key = QStringLiteral("sk-") + QUuid::createUuid().toString(QUuid::Id128);
        m_server->enqueue("GET", "/v1/models", FakeResponse::json(401, QByteArray("{}")));
        {
            APIKeyManager first(platform::systemSecretStore(), m_nam.get(), origin());
            QVERIFY(!run(first.validateKey(key)));
            first.saveKey(key);
        }
        APIKeyManager second(platform::systemSecretStore(), m_nam.get(), origin());
        QVERIFY(second.hasCustomKey());
        QCOMPARE(second.loadKey(), key);

        // The QML singleton is the shared instance, reading the same keyring.
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData("import QtQml; import Voxendo; QtObject { property bool stored: APIKeyManager.hasCustomKey;"
                          " property string error: APIKeyManager.validationError }", QUrl());
        std::unique_ptr<QObject> view(component.create());
        QVERIFY2(view, qPrintable(component.errorString()));
        QCOMPARE(view->property("stored").toBool(), true);
        QCOMPARE(view->property("error").toString(), QString());
        QCOMPARE(engine.singletonInstance<APIKeyManager *>(qmlTypeId("Voxendo", 1, 0, "APIKeyManager")), APIKeyManager::shared());

        second.deleteKey();
        QVERIFY(!APIKeyManager(platform::systemSecretStore(), m_nam.get(), origin()).hasCustomKey());

        // The key reached no log line and no file of the session (settings, temp files; the
        // keyring's own file is encrypted).
        QVERIFY(!logs.contains(key));
        QDirIterator it(sessionScratchDir(), QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            if (it.fileInfo().lastModified() < started)
                continue;
            QFile file(it.filePath());
            if (file.open(QIODevice::ReadOnly))
                QVERIFY2(!file.readAll().contains(key.toUtf8()), qPrintable(it.filePath()));
        }
    }
};

QTEST_MAIN(TestAPIKeyManager)
#include "tst_apikeymanager.moc"
