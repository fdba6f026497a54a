// The microphone choice follows the sound server's default source, which Qt 6.4 ignores.
#include "platform/linux/pulseaudioinput.h"
#include "support/testsession.h"

#include <QMediaDevices>
#include <QProcess>
#include <QTest>

using namespace voxendo;

namespace {

QString pactl(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    p.waitForFinished(10000);
    return p.exitCode() == 0 ? QString() : QString::fromLocal8Bit(p.readAllStandardError());
}

QByteArray chosenId(platform::PulseAudioInputProvider &provider)
{
    const auto input = provider.defaultInput();
    return input.ok() ? input.value->id() : QByteArray("<none>");
}

} // namespace

class TestPulseAudioInput : public QObject
{
    Q_OBJECT

    QString m_mic;

private Q_SLOTS:
    void initTestCase()
    {
        VOXENDO_REQUIRE_SESSION(voxendo::test::SessionPart::Pulse);
        m_mic = qEnvironmentVariable("VOXENDO_TEST_SOURCE");
    }

    void followsTheDefaultSource()
    {
        QVERIFY(pactl({QStringLiteral("load-module"), QStringLiteral("module-null-source"),
                       QStringLiteral("source_name=vox_second"), QStringLiteral("rate=16000"),
                       QStringLiteral("channels=1")})
                    .isEmpty());
        auto restore = qScopeGuard([this] {
            pactl({QStringLiteral("set-default-source"), m_mic});
            pactl({QStringLiteral("unload-module"), QStringLiteral("module-null-source")});
        });
        platform::PulseAudioInputProvider provider;
        QTRY_COMPARE_WITH_TIMEOUT(provider.defaultSourceName(), m_mic, 5000);
        QCOMPARE(chosenId(provider), m_mic.toUtf8());

        // The user picks the other microphone in the desktop's sound settings. Qt keeps
        // offering the first one it lists.
        QVERIFY(pactl({QStringLiteral("set-default-source"), QStringLiteral("vox_second")}).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(chosenId(provider), QByteArray("vox_second"), 5000);
        QCOMPARE(QMediaDevices::defaultAudioInput().id(), m_mic.toUtf8());

        // A default that Qt does not offer as an input (an output's monitor): Qt's choice.
        QVERIFY(pactl({QStringLiteral("set-default-source"), QStringLiteral("vsink.monitor")}).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(provider.defaultSourceName(), QStringLiteral("vsink.monitor"), 5000);
        QCOMPARE(chosenId(provider), QMediaDevices::defaultAudioInput().id());

        QVERIFY(pactl({QStringLiteral("set-default-source"), m_mic}).isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(chosenId(provider), m_mic.toUtf8(), 5000);
    }
};

QTEST_GUILESS_MAIN(TestPulseAudioInput)
#include "tst_pulseaudioinput.moc"
