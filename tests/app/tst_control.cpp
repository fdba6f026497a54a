// `voxendo toggle | show | status` against a running instance's D-Bus service, through the
// real binary.
#include "app/controlservice.h"
#include "support/testsession.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTest>

using namespace voxendo;
using namespace voxendo::test;

namespace {
struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the binary while this process keeps serving D-Bus calls.
Run runVoxendo(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(VOXENDO_BINARY), args);
    if (!p.waitForStarted(5000))
        return {};
    QDeadlineTimer deadline(10000);
    while (p.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(10);
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}
} // namespace

class TestControl : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { VOXENDO_REQUIRE_SESSION(SessionPart::DBus); }

    void withoutInstanceCommandsFail_data()
    {
        QTest::addColumn<QString>("command");
        QTest::newRow("toggle") << "toggle";
        QTest::newRow("show") << "show";
        QTest::newRow("status") << "status";
    }
    void withoutInstanceCommandsFail()
    {
        QFETCH(QString, command);
        const Run r = runVoxendo({command});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("Voxendo is not running"), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
    }

    void commandsReachTheRunningInstance()
    {
        int toggles = 0;
        int shows = 0;
        QString status = QStringLiteral("Ready");
        ControlService service({[&] { ++toggles; }, [&] { ++shows; }, [&] { return status; }});
        QString reason;
        QVERIFY2(service.registerOnSessionBus(&reason), qPrintable(reason));

        Run r = runVoxendo({"status"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, QString("Ready\n"));

        QCOMPARE(runVoxendo({"toggle"}).exitCode, 0);
        QCOMPARE(toggles, 1);
        status = QStringLiteral("Recording...");
        QCOMPARE(runVoxendo({"status"}).out, QString("Recording...\n"));
        QCOMPARE(runVoxendo({"show"}).exitCode, 0);
        QCOMPARE(shows, 1);

        // A second instance cannot claim the name: it hands over instead of starting.
        ControlService second({});
        QVERIFY(!second.registerOnSessionBus(&reason));
        QVERIFY(reason.contains("taken"));
    }
};

QTEST_MAIN(TestControl)
#include "tst_control.moc"
