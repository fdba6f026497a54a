// Stage marks: silent unless their category is switched on, and then one "<stage> <µs>" line
// whose time is CLOCK_MONOTONIC, so other processes (a server, a benchmark driver) can subtract.
#include "common/trace.h"
#include "support/capture.h"

#include <QLoggingCategory>
#include <QTest>

#include <ctime>

using namespace voxendo;
using namespace voxendo::test;

namespace {

qint64 monotonicNowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

const QString kCategory = QStringLiteral("com.voxendo.app.Trace");

} // namespace

class TestTrace : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void silentByDefault()
    {
        LogCapture log;
        trace("hotkey-press");
        QVERIFY(log.messages(kCategory).isEmpty());
    }

    void markCarriesStageAndMonotonicTime()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("com.voxendo.app.Trace.info=true"));
        LogCapture log;
        const qint64 before = monotonicNowUs();
        trace("first-frame");
        const qint64 after = monotonicNowUs();
        QLoggingCategory::setFilterRules(QString());

        const QStringList lines = log.messages(kCategory);
        QCOMPARE(lines.size(), 1);
        const QStringList parts = lines.first().split(u' ');
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts[0], QStringLiteral("first-frame"));
        bool ok = false;
        const qint64 at = parts[1].toLongLong(&ok);
        QVERIFY(ok);
        QVERIFY2(at >= before && at <= after, qPrintable(QStringLiteral("%1 not in [%2, %3]").arg(at).arg(before).arg(after)));
        QVERIFY(qAbs(monotonicMicroseconds() - after) < 1000000);
    }
};

QTEST_GUILESS_MAIN(TestTrace)
#include "tst_trace.moc"
