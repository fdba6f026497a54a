// The configuration phase of the account manager: fetching /config with its retries, the
// document's strictness, the update flags and version comparison.
#include "account/authmanager.h"
#include "support/authtestrig.h"
#include "support/capture.h"

#include <QCoroTask>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace voxendo;
using namespace voxendo::test;
using namespace std::chrono_literals;

namespace {

// Runs configure() the way the start-up does and checks what a window opened meanwhile sees:
// loading while the fetch runs, not loading once it has ended, whatever the outcome.
void configureObserved(AuthManager &manager)
{
    QVERIFY(manager.isConfiguring()); // from creation on
    QSignalSpy configuring(&manager, &AuthManager::isConfiguringChanged);
    QCoro::Task<> task = manager.configure();
    QVERIFY(manager.isConfiguring() || task.isReady());
    QCoro::waitFor(task);
    QVERIFY(!manager.isConfiguring());
    QCOMPARE(configuring.size(), 1);
}

QString closedPortUrl()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("https://localhost:%1/config").arg(port);
}

} // namespace

class TestAuthConfig : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void configuresFromTheDocument()
    {
        AuthTestRig rig;
        rig.auth.serveConfig();
        bool configuringDuringFetch = false;
        auto manager = rig.makeManager();
        rig.server.route("GET", "/config", [&](const RecordedRequest &) {
            configuringDuringFetch = manager->isConfiguring();
            return FakeResponse::json(200, rig.auth.configDocument());
        });
        QCOMPARE(manager->isConfigured(), false);
        QCOMPARE(manager->client(), nullptr);

        ConsoleCapture console;
        configureObserved(*manager);
        QVERIFY(configuringDuringFetch);
        QVERIFY(manager->isConfigured());
        QVERIFY(manager->client());
        QCOMPARE(console.lines(), QStringList{"[Auth] Configuration loaded successfully"});
        QVERIFY(rig.pauses.isEmpty());
        QCOMPARE(manager->error(), std::nullopt);

        // A plain GET: no credentials or headers of the application's own.
        QCOMPARE(rig.server.requests().size(), 1);
        const RecordedRequest request = rig.server.requests().first();
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, QByteArray("/config"));
        QVERIFY(!request.hasHeader("Authorization"));
        QVERIFY(!request.hasHeader("apikey"));
        QVERIFY(request.body.isEmpty());
    }

    void badStatusesAreRetried_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("201") << 201;
        QTest::newRow("204") << 204;
        QTest::newRow("404") << 404;
        QTest::newRow("500") << 500;
    }
    void badStatusesAreRetried()
    {
        QFETCH(int, status);
        AuthTestRig rig;
        rig.auth.serveConfig();
        // Even a valid document does not count with a status other than 200.
        rig.server.enqueue("GET", "/config", FakeResponse::json(status, rig.auth.configDocument()));
        auto manager = rig.makeManager();

        ConsoleCapture console;
        configureObserved(*manager);
        QCOMPARE(console.lines(), (QStringList{"[Auth] Failed to fetch config: bad response (attempt 1)",
                                               "[Auth] Configuration loaded successfully"}));
        QCOMPARE(rig.pauses, QList<std::chrono::milliseconds>{2s});
        QCOMPARE(rig.server.requests().size(), 2);
        QVERIFY(manager->isConfigured());
    }

    void givesUpAfterThreeFailures()
    {
        AuthTestRig rig;
        auto manager = rig.makeManager(closedPortUrl());
        ConsoleCapture console;
        configureObserved(*manager);

        const QStringList lines = console.lines();
        QCOMPARE(lines.size(), 4);
        for (int attempt = 1; attempt <= 3; ++attempt) {
            const QString prefix = QStringLiteral("[Auth] Failed to fetch config (attempt %1): ").arg(attempt);
            QVERIFY2(lines[attempt - 1].startsWith(prefix), qPrintable(lines[attempt - 1]));
            QVERIFY(lines[attempt - 1].size() > prefix.size()); // the error's description follows
        }
        QCOMPARE(lines[3], QString("[Auth] All config fetch retries exhausted"));
        QCOMPARE(rig.pauses, (QList<std::chrono::milliseconds>{2s, 4s}));
        QVERIFY(!manager->isConfigured());
        QCOMPARE(manager->client(), nullptr);
        QCOMPARE(manager->error(), std::nullopt);

        // Without a client the account operations say so.
        QVERIFY(!QCoro::waitFor(manager->signIn("ada@example.com", "correct horse")));
        QCOMPARE(manager->error(), std::optional<QString>("Not configured. Please try again."));
    }

    void stalledServerFailsTheAttempt()
    {
        AuthTestRig rig;
        rig.requestTimeout = 200ms;
        rig.server.route("GET", "/config", [](const RecordedRequest &) { return FakeResponse::hang(); });
        auto manager = rig.makeManager();
        ConsoleCapture console;
        configureObserved(*manager);
        QCOMPARE(console.lines().size(), 4);
        QVERIFY2(console.lines().first().startsWith("[Auth] Failed to fetch config (attempt 1): "),
                 qPrintable(console.lines().first()));
        QCOMPARE(console.lines().last(), QString("[Auth] All config fetch retries exhausted"));
        QVERIFY(!manager->isConfigured());
    }

    void mixedFailuresThenSuccess()
    {
        AuthTestRig rig;
        rig.auth.serveConfig();
        rig.server.enqueue("GET", "/config", FakeResponse::noContent(503));
        rig.server.enqueue("GET", "/config", FakeResponse::noContent(502));
        auto manager = rig.makeManager();
        ConsoleCapture console;
        configureObserved(*manager);
        QCOMPARE(console.lines(), (QStringList{"[Auth] Failed to fetch config: bad response (attempt 1)",
                                               "[Auth] Failed to fetch config: bad response (attempt 2)",
                                               "[Auth] Configuration loaded successfully"}));
        QCOMPARE(rig.pauses, (QList<std::chrono::milliseconds>{2s, 4s}));
        QVERIFY(manager->isConfigured());
    }

    void unusableDocumentFailsAtOnce_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("line");
        const QString decode = "[Auth] Failed to decode config";
        const QByteArray url = "\"supabaseURL\":\"https://auth.example.com\"";
        QTest::newRow("not JSON") << QByteArray("<html>maintenance</html>") << decode;
        QTest::newRow("array") << QByteArray("[]") << decode;
        QTest::newRow("no anon key") << "{" + url + "}" << decode;
        QTest::newRow("anon key null") << "{" + url + ",\"supabaseAnonKey\":null}" << decode;
        QTest::newRow("anon key number") << "{" + url + ",\"supabaseAnonKey\":42}" << decode;
        QTest::newRow("latestVersion number")
            << "{" + url + ",\"supabaseAnonKey\":\"k\",\"latestVersion\":2}" << decode;
        QTest::newRow("minVersion object")
            << "{" + url + ",\"supabaseAnonKey\":\"k\",\"minVersion\":{}}" << decode;
        QTest::newRow("service URL unparsable")
            << QByteArray("{\"supabaseURL\":\"https://exa mple.com\",\"supabaseAnonKey\":\"k\"}")
            << "[Auth] Invalid Supabase URL";
        QTest::newRow("service URL empty")
            << QByteArray("{\"supabaseURL\":\"\",\"supabaseAnonKey\":\"k\"}") << "[Auth] Invalid Supabase URL";
    }
    void unusableDocumentFailsAtOnce()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, line);
        AuthTestRig rig;
        rig.server.route("GET", "/config", [body](const RecordedRequest &) { return FakeResponse::json(200, body); });
        auto manager = rig.makeManager();
        ConsoleCapture console;
        configureObserved(*manager);
        QCOMPARE(console.lines(), QStringList{line});
        QCOMPARE(rig.server.requests().size(), 1);
        QVERIFY(rig.pauses.isEmpty());
        QVERIFY(!manager->isConfigured());
        QCOMPARE(manager->client(), nullptr);
    }

    void unparsableConfigUrlMakesNoRequest()
    {
        AuthTestRig rig;
        auto manager = rig.makeManager("https://local host/config");
        ConsoleCapture console;
        configureObserved(*manager);
        QCOMPARE(console.lines(), QStringList{"[Auth] Invalid config URL"});
        QCOMPARE(rig.server.requests().size(), 0);
        QVERIFY(!manager->isConfigured());
    }

    // Running version against the document's policy; optional members may be missing or null.
    void updateFlags_data()
    {
        QTest::addColumn<QVariant>("running");  // null: unreadable
        QTest::addColumn<QByteArray>("policy"); // the document's version members
        QTest::addColumn<bool>("available");
        QTest::addColumn<bool>("required");
        QTest::newRow("no policy") << QVariant("1.2.3") << QByteArray() << false << false;
        QTest::newRow("policy null") << QVariant("1.2.3") << QByteArray(",\"latestVersion\":null,\"minVersion\":null")
                                     << false << false;
        QTest::newRow("newer exists") << QVariant("1.2.3") << QByteArray(",\"latestVersion\":\"1.3.0\"") << true << false;
        QTest::newRow("up to date") << QVariant("1.3.0") << QByteArray(",\"latestVersion\":\"1.3.0\"") << false << false;
        QTest::newRow("ahead of latest") << QVariant("2.0.0") << QByteArray(",\"latestVersion\":\"1.9.9\"") << false << false;
        QTest::newRow("required beats available")
            << QVariant("1.2.3") << QByteArray(",\"latestVersion\":\"2.0.0\",\"minVersion\":\"1.3.0\"") << false << true;
        QTest::newRow("at the minimum")
            << QVariant("1.3.0") << QByteArray(",\"latestVersion\":\"1.4.0\",\"minVersion\":\"1.3.0\"") << true << false;
        QTest::newRow("at minimum and latest")
            << QVariant("1.3.0") << QByteArray(",\"latestVersion\":\"1.3.0\",\"minVersion\":\"1.3.0\"") << false << false;
        QTest::newRow("version unreadable")
            << QVariant() << QByteArray(",\"latestVersion\":\"9.0.0\",\"minVersion\":\"9.0.0\"") << false << false;
    }
    void updateFlags()
    {
        QFETCH(QVariant, running);
        QFETCH(QByteArray, policy);
        QFETCH(bool, available);
        QFETCH(bool, required);
        AuthTestRig rig;
        rig.runningVersion = running.isNull() ? std::nullopt : std::optional<QString>(running.toString());
        const QByteArray body = "{\"supabaseURL\":\"" + rig.auth.serviceUrl().toString().toUtf8()
                                + "\",\"supabaseAnonKey\":\"k\"" + policy + "}";
        rig.server.route("GET", "/config", [body](const RecordedRequest &) { return FakeResponse::json(200, body); });
        auto manager = rig.makeManager();
        QSignalSpy availableSpy(manager.get(), &AuthManager::updateAvailableChanged);
        QSignalSpy requiredSpy(manager.get(), &AuthManager::updateRequiredChanged);
        configureObserved(*manager);
        QVERIFY(manager->isConfigured());
        QCOMPARE(manager->updateAvailable(), available);
        QCOMPARE(manager->updateRequired(), required);
        QCOMPARE(availableSpy.size(), available ? 1 : 0);
        QCOMPARE(requiredSpy.size(), required ? 1 : 0);
    }

    // The Account tab reads the process-wide manager through the QML module.
    void qmlSeesTheSharedManager()
    {
        QQmlEngine engine;
        engine.addImportPath(QStringLiteral("qrc:/"));
        QQmlComponent component(&engine);
        component.setData("import QtQml\nimport Voxendo\n"
                          "QtObject { property bool configuring: AuthManager.isConfiguring;"
                          " property bool signedIn: AuthManager.isAuthenticated;"
                          " property string error: AuthManager.error;"
                          " function signIn() { AuthManager.beginSignIn('ada@example.com', 'correct horse') } }",
                          QUrl());
        std::unique_ptr<QObject> object(component.create());
        QVERIFY2(object, qPrintable(component.errorString()));
        QCOMPARE(object->property("configuring").toBool(), true);
        QCOMPARE(object->property("signedIn").toBool(), false);
        QCOMPARE(object->property("error").toString(), QString());
        AuthManager::shared()->setErrorText("shown in red");
        QCOMPARE(object->property("error").toString(), QString("shown in red"));

        // Before configuration a sign-in from the view is refused with the manager's message.
        QSignalSpy finished(AuthManager::shared(), &AuthManager::signInFinished);
        QVERIFY(QMetaObject::invokeMethod(object.get(), "signIn"));
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(object->property("error").toString(), QString("Not configured. Please try again."));
        AuthManager::shared()->clearError();
    }

    void compareVersions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected");
        QTest::newRow("equal") << "1.2.3" << "1.2.3" << 0;
        QTest::newRow("patch older") << "1.2.3" << "1.2.4" << -1;
        QTest::newRow("major newer") << "2.0.0" << "1.99.99" << 1;
        QTest::newRow("numeric, not text") << "1.10" << "1.9" << 1;
        QTest::newRow("missing pieces are 0") << "2.0" << "2.0.0" << 0;
        QTest::newRow("fourth piece ignored") << "1.2.3.4" << "1.2.3.9" << 0;
        QTest::newRow("non-numeric piece is 0") << "1.2.3-beta" << "1.2.0" << 0;
        QTest::newRow("non-numeric keeps its place") << "1.x.5" << "1.0.5" << 0;
        QTest::newRow("empty pieces dropped") << "1..2" << "1.2" << 0;
        QTest::newRow("empty text") << "" << "0.0.1" << -1;
        QTest::newRow("signed pieces") << "+1.-1" << "1.0" << -1;
        QTest::newRow("overflowing piece is 0") << "99999999999999999999.1" << "0.1" << 0;
    }
    void compareVersions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, expected);
        QCOMPARE(AuthManager::compareVersions(a, b), expected);
        QCOMPARE(AuthManager::compareVersions(b, a), -expected);
    }
};

QTEST_MAIN(TestAuthConfig)
#include "tst_authconfig.moc"
