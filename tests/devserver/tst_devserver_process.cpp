// The voxendo-devserver executable as scripts and developers use it: its help, its first
// output line, the `confirm` command beside a running server, and a clean stop.
#include "testclient.h"

#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace voxendo::devserver::test;

class TestDevserverProcess : public QObject
{
    Q_OBJECT

    static QString exe() { return QStringLiteral(VOXENDO_DEVSERVER_EXE); }

    static int run(const QStringList &args, QByteArray *out = nullptr, QByteArray *err = nullptr)
    {
        QProcess p;
        p.start(exe(), args);
        if (!p.waitForFinished(30000))
            return -1;
        if (out)
            *out = p.readAllStandardOutput();
        if (err)
            *err = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }

private Q_SLOTS:
    void helpSaysWhatItIsAndListsEveryOption()
    {
        QByteArray out;
        QCOMPARE(run({"--help"}, &out), 0);
        const QString help = QString::fromLocal8Bit(out);
        QVERIFY(help.contains(QLatin1String("DEVELOPMENT AND DEMO TOOL, NOT FOR PRODUCTION")));
        QVERIFY(help.contains(QLatin1String("ca.crt")));
        for (const char *option : {"--port", "--data-dir", "--latest-version", "--min-version",
                                   "--confirm-email", "--auto-confirm", "--expires-in", "--openai-key",
                                   "--openai-keys-file", "--model-dir", "--max-audio-seconds",
                                   "--pbkdf2-iterations", "--version", "confirm EMAIL"})
            QVERIFY2(help.contains(QLatin1String(option)), option);
    }

    void badArgumentsAreRefused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("unknown option") << QStringList{"--frobnicate"};
        QTest::newRow("port out of range") << QStringList{"--port", "70000"};
        QTest::newRow("key without sk-") << QStringList{"--openai-key", "abc"};
        QTest::newRow("auto-confirm alone") << QStringList{"--auto-confirm"};
        QTest::newRow("unknown command") << QStringList{"serve-forever"};
    }

    void badArgumentsAreRefused()
    {
        QFETCH(QStringList, args);
        QByteArray err;
        QCOMPARE(run(args, nullptr, &err), 2);
        QVERIFY(!err.trimmed().isEmpty());
    }

    void servesConfirmsAndStops()
    {
        QTemporaryDir tmp;
        const QString dataDir = tmp.filePath(QStringLiteral("data"));
        QProcess server;
        server.start(exe(), {"-p", "0", "-d", dataDir, "--confirm-email", "--pbkdf2-iterations", "1000"});
        QVERIFY(server.waitForStarted());
        QVERIFY(server.waitForReadyRead(30000));
        while (!server.canReadLine())
            QVERIFY(server.waitForReadyRead(10000));
        // The first line is the URL alone, for scripts.
        const QString url = QString::fromLocal8Bit(server.readLine()).trimmed();
        QVERIFY2(QRegularExpression(QStringLiteral("^https://127\\.0\\.0\\.1:[0-9]+$")).match(url).hasMatch(),
                 qPrintable(url));
        QVERIFY(QFile::exists(dataDir + QStringLiteral("/ca.crt")));

        TestClient client(QUrl(url), dataDir + QStringLiteral("/ca.crt"));
        const Answer config = client.get("/config");
        QCOMPARE(config.status, 200);
        QCOMPARE(config.json().value("supabaseURL").toString(), url);
        QVERIFY(config.json().value("minVersion").isNull());
        const QByteArray anon = config.json().value("supabaseAnonKey").toString().toLatin1();
        const QByteArray credentials = R"({"email":"demo@example.com","password":"demo-password"})";
        QCOMPARE(client.post("/auth/v1/signup", credentials, {{"apikey", anon}}).status, 200);
        QCOMPARE(client.post("/auth/v1/token?grant_type=password", credentials, {{"apikey", anon}}).status, 400);

        QByteArray out;
        QCOMPARE(run({"confirm", "demo@example.com", "-d", dataDir}, &out), 0);
        QVERIFY(out.contains("Confirmed demo@example.com"));
        QCOMPARE(client.post("/auth/v1/token?grant_type=password", credentials, {{"apikey", anon}}).status, 200);
        QCOMPARE(run({"confirm", "nobody@example.com", "-d", dataDir}), 1);

        // A second server on the same port cannot start, and says why.
        QByteArray err;
        QCOMPARE(run({"-p", url.section(u':', -1), "-d", dataDir}, nullptr, &err), 1);
        QVERIFY2(err.contains("cannot listen"), err.constData());

        ::kill(pid_t(server.processId()), SIGTERM);
        QVERIFY(server.waitForFinished(15000));
        QCOMPARE(server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDevserverProcess)
#include "tst_devserver_process.moc"
