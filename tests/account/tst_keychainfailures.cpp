// The keyring failing underneath the session storage and the personal key store: no Secret
// Service on the bus, a bus that never answers, a locked collection. Each case needs a process
// of its own (GLib keeps the first session-bus connection for the life of the process), so CTest
// runs this executable once per test function.
#include <gio/gio.h>

#include "account/keychainauthstorage.h"
#include "account/keychainerror.h"
#include "platform/secretstore.h"
#include "transcription/apikeymanager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace voxendo;
using namespace std::chrono_literals;
namespace SecretStatus = platform::SecretStatus;

namespace {

const QString kService = QStringLiteral("com.voxendo.app.auth");
const QString kGroup = QStringLiteral("K8V3N6Q2P5.com.voxendo.app");

// Runs `call` and returns the KeychainError it raised (nullopt when it raised none).
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

// A D-Bus session bus and GNOME Keyring of this test alone, so that locking its collection
// disturbs nobody. Both daemons are stopped by their own process handles.
class PrivateKeyring
{
public:
    ~PrivateKeyring()
    {
        for (QProcess *p : {&m_keyring, &m_bus}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(3000))
                    p->kill();
                p->waitForFinished(3000);
            }
        }
    }

    // Empty on success, else what failed.
    QString start()
    {
        if (!m_dir.isValid())
            return QStringLiteral("no temporary directory");
        QDir(m_dir.path()).mkpath(QStringLiteral("home/.local/share"));
        QDir(m_dir.path()).mkpath(QStringLiteral("run"));
        QFile::setPermissions(m_dir.filePath(QStringLiteral("run")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // No display: the keyring must never put up an unlock prompt.
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            env.remove(QString::fromLatin1(name));
        env.insert(QStringLiteral("HOME"), m_dir.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), m_dir.filePath(QStringLiteral("home/.local/share")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.filePath(QStringLiteral("run")));

        m_bus.setProcessEnvironment(env);
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!m_bus.waitForStarted(5000))
            return QStringLiteral("dbus-daemon did not start");
        QElapsedTimer timer;
        timer.start();
        while (!m_bus.canReadLine() && timer.elapsed() < 5000)
            m_bus.waitForReadyRead(100);
        m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
        if (m_address.isEmpty())
            return QStringLiteral("dbus-daemon gave no address");

        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        m_keyring.setProcessEnvironment(env);
        m_keyring.start(QStringLiteral("gnome-keyring-daemon"),
                        {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                         QStringLiteral("--components=secrets")});
        if (!m_keyring.waitForStarted(5000))
            return QStringLiteral("gnome-keyring-daemon did not start");
        m_keyring.write("test");
        m_keyring.closeWriteChannel();

        QDBusConnection bus = connection();
        while (timer.elapsed() < 10000) {
            if (bus.interface() && bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")))
                return {};
            QTest::qWait(50);
        }
        return QStringLiteral("gnome-keyring-daemon did not register on the private bus");
    }

    QString address() const { return m_address; }

    QDBusConnection connection() const
    {
        return QDBusConnection::connectToBus(m_address, QStringLiteral("voxendo-private-keyring"));
    }

    // Locks the login collection, as the desktop does on "lock keyring".
    bool lockLogin() const
    {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
            QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
        call << QVariant::fromValue(QList<QDBusObjectPath>{
            QDBusObjectPath(QStringLiteral("/org/freedesktop/secrets/collection/login"))});
        const QDBusMessage reply = connection().call(call, QDBus::Block, 5000);
        return reply.type() == QDBusMessage::ReplyMessage;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_keyring;
    QString m_address;
};

} // namespace

class TestKeychainFailures : public QObject
{
    Q_OBJECT

    static void pointSessionBusAt(const QString &address)
    {
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
        qunsetenv("DISPLAY"); // never let GLib autolaunch a bus
    }

    // Every operation of both keyring users fails with `status`, and none reports "no item".
    static void expectEveryOperationFails(const std::shared_ptr<platform::SecretStore> &secrets, int status)
    {
        KeychainAuthStorage storage(kService, kGroup, secrets);
        const auto stored = raisedBy([&] { storage.store(QStringLiteral("supabase.auth.token"), "{}"); });
        QVERIFY(stored);
        QCOMPARE(stored->kind(), KeychainError::Kind::unableToStore);
        QCOMPARE(stored->status(), status);
        QCOMPARE(stored->localizedDescription(), QStringLiteral("Unable to store item in Keychain: %1").arg(status));
        QVERIFY(stored->localizedDescription().contains(QLatin1String(": -")));

        const auto retrieved = raisedBy([&] { storage.retrieve(QStringLiteral("supabase.auth.token")); });
        QVERIFY2(retrieved, "a failing keyring must not read as \"no session\"");
        QCOMPARE(retrieved->kind(), KeychainError::Kind::unableToRetrieve);
        QCOMPARE(retrieved->status(), status);

        const auto removed = raisedBy([&] { storage.remove(QStringLiteral("supabase.auth.token")); });
        QVERIFY(removed);
        QCOMPARE(removed->kind(), KeychainError::Kind::unableToRemove);
        QCOMPARE(removed->status(), status);

        QNetworkAccessManager nam;
        APIKeyManager keys(secrets, &nam, QStringLiteral("https://localhost:9"));
        QVERIFY(!keys.hasCustomKey());
        QCOMPARE(keys.loadKey(), std::nullopt);
        const auto saved = raisedBy([&] { keys.saveKey(QStringLiteral("sk-0123456789abcdefghij")); });
        QVERIFY(saved);
        QCOMPARE(saved->status(), status);
        QVERIFY(!keys.hasCustomKey());
    }

private Q_SLOTS:
    void noSecretServiceReachable()
    {
        pointSessionBusAt(QStringLiteral("unix:path=/nonexistent/voxendo-test-bus"));
        expectEveryOperationFails(platform::createSecretStore({2s, 2s}), SecretStatus::unavailable);
    }

    // A bus that accepts the connection and never says a word: every call gives up at its bound
    // instead of freezing the caller.
    void silentBusIsBounded()
    {
        QTemporaryDir dir;
        QLocalServer server;
        QVERIFY(server.listen(dir.filePath(QStringLiteral("bus"))));
        pointSessionBusAt(QStringLiteral("unix:path=") + server.fullServerName());

        const auto secrets = platform::createSecretStore({200ms, 200ms});
        QElapsedTimer timer;
        timer.start();
        expectEveryOperationFails(secrets, SecretStatus::timedOut);
        // Eleven keyring calls, each bounded by 200 ms; far below GLib's own 25 s per call.
        QVERIFY2(timer.elapsed() < 10000, qPrintable(QString::number(timer.elapsed())));
        server.close(); // lets the stuck handshake fail, freeing the keyring thread
    }

    // A lookup in a locked collection answers "nothing" without an error; the store must report
    // it as a failure, or a stored session or key would look deleted.
    void lockedCollectionIsAFailure()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            QSKIP("needs gnome-keyring-daemon and dbus-daemon");
        PrivateKeyring keyring;
        const QString problem = keyring.start();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        pointSessionBusAt(keyring.address());
        // The private bus goes away at the end of this test; GLib must not end the process then.
        GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        QVERIFY(bus);
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        g_object_unref(bus);

        const auto secrets = platform::createSecretStore({5s, 5s});
        KeychainAuthStorage storage(kService, kGroup, secrets);
        storage.store(QStringLiteral("supabase.auth.token"), "{\"access_token\":\"a\"}");
        QNetworkAccessManager nam;
        APIKeyManager(secrets, &nam, QStringLiteral("https://localhost:9")).saveKey(QStringLiteral("sk-0123456789abcdefghij"));
        QCOMPARE(storage.retrieve(QStringLiteral("supabase.auth.token")), QByteArray("{\"access_token\":\"a\"}"));

        QVERIFY(keyring.lockLogin());
        expectEveryOperationFails(secrets, SecretStatus::locked);
    }
};

QTEST_MAIN(TestKeychainFailures)
#include "tst_keychainfailures.moc"
