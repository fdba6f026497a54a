#include "app/autostart.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace voxendo;

class TestAutostart : public QObject
{
    Q_OBJECT
    QTemporaryDir m_config;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_config.isValid());
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }

    void writesAndRemovesTheEntry()
    {
        AutostartManager manager(QStringLiteral("/opt/My Apps/voxendo"), nullptr);
        QSignalSpy changed(&manager, &AutostartManager::startAtLoginChanged);
        QVERIFY(!manager.startAtLogin());
        QCOMPARE(AutostartManager::entryPath(), m_config.path() + "/autostart/com.voxendo.Voxendo.desktop");

        manager.setStartAtLogin(true);
        QVERIFY(manager.startAtLogin());
        QCOMPARE(changed.count(), 1);
        QFile file(AutostartManager::entryPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray entry = file.readAll();
        QVERIFY(entry.startsWith("[Desktop Entry]\n"));
        QVERIFY2(entry.contains("\nExec=\"/opt/My Apps/voxendo\"\n"), entry.constData());

        manager.setStartAtLogin(true); // no change, no signal
        QCOMPARE(changed.count(), 1);

        manager.setStartAtLogin(false);
        QVERIFY(!manager.startAtLogin());
        QVERIFY(!QFile::exists(AutostartManager::entryPath()));
        QCOMPARE(changed.count(), 2);
        QVERIFY(manager.lastError().isEmpty());
    }

    void anEntryDisabledByHandCountsAsOff()
    {
        AutostartManager manager(QStringLiteral("/usr/bin/voxendo"), nullptr);
        manager.setStartAtLogin(true);
        QFile file(AutostartManager::entryPath());
        QVERIFY(file.open(QIODevice::Append));
        file.write("Hidden=true\n");
        file.close();
        QVERIFY(!manager.startAtLogin());
        QFile::remove(AutostartManager::entryPath());
    }

    void anUnwritableFolderIsReported()
    {
        QTemporaryDir blocked;
        qputenv("XDG_CONFIG_HOME", blocked.path().toUtf8());
        QFile blocker(blocked.path() + "/autostart"); // a file where the folder should be
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        AutostartManager manager(QStringLiteral("/usr/bin/voxendo"), nullptr);
        manager.setStartAtLogin(true);
        QVERIFY(!manager.startAtLogin());
        QVERIFY(manager.lastError().startsWith("Could not write"));
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
    }
};

QTEST_MAIN(TestAutostart)
#include "tst_autostart.moc"
