// The shell's start-up order and its mirroring of the dictation state, with recorded steps
// and a controller driven by fakes.
#include "app/application.h"
#include "dictation/appstate.h"
#include "support/fakedictation.h"

#include <QCoroTimer>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

using namespace voxendo;
using namespace voxendo::test;
using namespace std::chrono_literals;

class TestApplication : public QObject
{
    Q_OBJECT

    struct Rig
    {
        QStringList log;
        std::shared_ptr<FakeDictationRecorder> recorder = std::make_shared<FakeDictationRecorder>();
        std::shared_ptr<FakeDictationTranscriber> transcriber = std::make_shared<FakeDictationTranscriber>();
        std::shared_ptr<FakeDictationAccount> account = std::make_shared<FakeDictationAccount>();
        std::unique_ptr<AppState> appState;
        std::unique_ptr<Application> app;
        bool configureDone = false;

        explicit Rig(std::chrono::milliseconds configureTime)
        {
            account->setAuthenticated(true);
            appState = std::make_unique<AppState>(DictationCollaborators{
                recorder, transcriber, account, std::make_shared<FakeDictationKeyStore>(),
                std::make_shared<RecordingDictationInjector>()});
            Application::Steps steps;
            steps.configure = [this, configureTime]() -> QCoro::Task<> {
                log << "configure begins";
                QTimer timer;
                timer.start(configureTime);
                co_await timer;
                configureDone = true;
                log << "configure ends";
            };
            steps.registerHotKey = [this] { log << "hotkey"; };
            steps.requestMicrophoneAccess = [this] { log << "microphone"; };
            steps.showSettingsWindow = [this] { log << "window"; };
            steps.showListening = [this] { log << "pill listening"; };
            steps.showInserting = [this] { log << "pill inserting"; };
            steps.hideOverlay = [this] { log << "pill hidden"; };
            steps.windowDelay = 200ms;
            app = std::make_unique<Application>(appState.get(), steps);
            QObject::connect(app.get(), &Application::statusItemCreated, app.get(),
                             [this] { log << (configureDone ? "tray after configure" : "tray BEFORE configure"); });
        }
    };

private Q_SLOTS:
    void startupRunsInOrder_data()
    {
        QTest::addColumn<int>("configureMs");
        QTest::newRow("quick backend") << 10;
        QTest::newRow("backend retrying for a while") << 600;
    }
    void startupRunsInOrder()
    {
        QFETCH(int, configureMs);
        Rig rig{std::chrono::milliseconds(configureMs)};
        QSignalSpy finished(rig.app.get(), &Application::startupFinished);
        rig.app->start();
        QVERIFY(!rig.app->statusItem()); // nothing before configure has returned
        QVERIFY(finished.wait(5000));
        QCOMPARE(rig.log, (QStringList{"configure begins", "configure ends", "tray after configure",
                                       "hotkey", "microphone", "window"}));
        QVERIFY(rig.app->statusItem());
        QVERIFY(rig.app->statusItem()->contextMenu() == nullptr);
    }

    void pillAndTrayFollowTheDictation()
    {
        Rig rig{1ms};
        QSignalSpy finished(rig.app.get(), &Application::startupFinished);
        rig.app->start();
        QVERIFY(finished.wait(5000));
        rig.log.clear();
        QSystemTrayIcon *tray = rig.app->statusItem();

        rig.appState->toggleRecording();
        QTRY_VERIFY(rig.appState->isRecording());
        QTRY_COMPARE(rig.log, QStringList{"pill listening"});
        QCOMPARE(tray->toolTip(), QString("Recording"));

        rig.appState->toggleRecording(); // stop: the pill goes straight to inserting
        QTRY_VERIFY(rig.recorder->hasPendingStop());
        rig.recorder->finish(QStringLiteral("/nonexistent/voxendo_test.m4a"));
        QTRY_COMPARE(rig.transcriber->calls.size(), 1);
        QTRY_COMPARE(rig.log, (QStringList{"pill listening", "pill inserting"}));
        QCOMPARE(tray->toolTip(), QString("Voxendo"));

        rig.transcriber->complete(TranscriptionOutcome::success("hi"));
        QTRY_COMPARE(rig.log, (QStringList{"pill listening", "pill inserting", "pill hidden"}));
    }

    void trayClickOpensTheWindow()
    {
        Rig rig{1ms};
        QSignalSpy finished(rig.app.get(), &Application::startupFinished);
        rig.app->start();
        QVERIFY(finished.wait(5000));
        rig.log.clear();
        Q_EMIT rig.app->statusItem()->activated(QSystemTrayIcon::Trigger);
        Q_EMIT rig.app->statusItem()->activated(QSystemTrayIcon::Context);
        QCOMPARE(rig.log, QStringList{"window"});
    }
};

QTEST_MAIN(TestApplication)
#include "tst_application.moc"
