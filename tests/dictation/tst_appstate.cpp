// The dictation controller against fakes of its collaborators: the state table, the order of
// the published changes, the route and language choice, the log lines, the fate of the audio
// file, and the thread every change happens on.
#include "dictation/appstate.h"
#include "support/capture.h"
#include "support/fakedictation.h"

#include <QCoreApplication>
#include <QFile>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using namespace voxendo;
using namespace voxendo::test;

namespace {

const QString Category = QStringLiteral("com.voxendo.app.AppState");

// Runs everything that has been posted to the main thread, including what that posts in turn.
void settle()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

// A controller wired to fakes, with every published change written down in order.
struct Rig
{
    std::shared_ptr<FakeDictationRecorder> recorder = std::make_shared<FakeDictationRecorder>();
    std::shared_ptr<FakeDictationTranscriber> transcriber = std::make_shared<FakeDictationTranscriber>();
    std::shared_ptr<FakeDictationAccount> account;
    std::shared_ptr<FakeDictationKeyStore> keyStore = std::make_shared<FakeDictationKeyStore>();
    std::shared_ptr<RecordingDictationInjector> injector = std::make_shared<RecordingDictationInjector>();
    std::unique_ptr<AppState> app;

    QStringList changes;              // "isRecording=true", "statusText=Ready", "inject:…"
    QList<QThread *> changeThreads;   // the thread of each change

    Rig(const QString &directory, bool signedIn)
        : account(std::make_shared<FakeDictationAccount>(signedIn))
    {
        recorder->recordingDirectory = directory;
        app = std::make_unique<AppState>(
            DictationCollaborators{recorder, transcriber, account, keyStore, injector});
        auto note = [this](const QString &change) {
            changes.append(change);
            changeThreads.append(QThread::currentThread());
        };
        QObject::connect(app.get(), &AppState::isRecordingChanged, app.get(), [note](bool v) {
            note(QStringLiteral("isRecording=%1").arg(v ? "true" : "false"));
        }, Qt::DirectConnection);
        QObject::connect(app.get(), &AppState::isProcessingChanged, app.get(), [note](bool v) {
            note(QStringLiteral("isProcessing=%1").arg(v ? "true" : "false"));
        }, Qt::DirectConnection);
        QObject::connect(app.get(), &AppState::statusTextChanged, app.get(), [note](const QString &v) {
            note(QStringLiteral("statusText=") + v);
        }, Qt::DirectConnection);
        QObject::connect(app.get(), &AppState::lastErrorChanged, app.get(), [note](const QString &v) {
            note(QStringLiteral("lastError=") + v);
        }, Qt::DirectConnection);
        injector->onInject = [note](const QString &text) { note(QStringLiteral("inject:") + text); };
        settle(); // the account's current value arrives queued
    }

    // Idle → Recording.
    bool startRecording()
    {
        app->toggleRecording();
        settle();
        return app->isRecording() && !app->isToggling();
    }

    // Idle → Recording → Stopping → Transcribing, with a real file from the recorder.
    bool reachTranscribing()
    {
        if (!startRecording())
            return false;
        app->toggleRecording();
        recorder->finish(recorder->lastFile);
        settle();
        return app->isProcessing() && !app->isToggling();
    }
};

} // namespace

class TestAppState : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_settingsDir;
    std::unique_ptr<QTemporaryDir> m_dir;

    std::unique_ptr<Rig> rig(bool signedIn = true) { return std::make_unique<Rig>(m_dir->path(), signedIn); }

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Voxendo"));
        QCoreApplication::setApplicationName(QStringLiteral("Voxendo"));
        m_settingsDir = std::make_unique<QTemporaryDir>();
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_settingsDir->path());
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QSettings().remove(AppState::LanguageSettingsKey);
    }

    // The whole run on the backend route, change by change: the state table's path from Idle
    // through Starting, Recording, Stopping and Transcribing back to Idle.
    void dictationRunPublishesChangesInOrder()
    {
        LogCapture log;
        auto r = rig();
        r->app->setLastError(QStringLiteral("earlier message"));
        r->changes.clear();

        r->app->toggleRecording(); // Idle → Starting: nothing visible yet
        QVERIFY(r->app->isToggling());
        QCOMPARE(r->recorder->startCount, 0);
        QVERIFY(r->changes.isEmpty());
        settle();
        QCOMPARE(r->recorder->startCount, 1);
        QVERIFY(!r->app->isToggling());
        QCOMPARE(r->changes, QStringList({"isRecording=true", "statusText=Recording..."}));

        r->changes.clear();
        r->app->toggleRecording(); // Recording → Stopping, in one synchronous step
        QCOMPARE(r->changes, QStringList({"isRecording=false", "statusText=Processing...", "isProcessing=true"}));
        QCOMPARE(r->recorder->stopCount, 1);
        QVERIFY(r->app->isToggling());

        const QString file = r->recorder->lastFile;
        r->recorder->finish(file);
        QVERIFY(r->app->isToggling()); // the answer is handled as a step of its own
        settle();
        QVERIFY(!r->app->isToggling()); // Transcribing
        QVERIFY(r->app->isProcessing());
        QCOMPARE(r->transcriber->calls.size(), 1);
        const auto &call = r->transcriber->calls.first();
        QCOMPARE(call.filePath, file);
        QCOMPARE(call.language, QString("auto"));
        QVERIFY(!call.apiKey);
        QCOMPARE(call.accessToken.value_or("<none>"), QString("session-token"));
        QCOMPARE(call.duration, 2.5);
        QVERIFY(QFile::exists(file));

        r->changes.clear();
        r->transcriber->complete(TranscriptionOutcome::success(QStringLiteral("Grüße aus Berlin")));
        QVERIFY(!QFile::exists(file)); // removed on the completion, before the result is handled
        QVERIFY(r->changes.isEmpty());
        settle();
        // The overlay keeps its inserting look until the clipboard holds the text.
        QCOMPARE(r->changes, QStringList({"statusText=Ready", "lastError=", "inject:Grüße aus Berlin",
                                          "isProcessing=false"}));
        QCOMPARE(r->app->lastError(), QString());

        QCOMPARE(log.messages(Category),
                 QStringList({"Audio saved, starting transcription",
                              "Starting transcription, language: auto, BYOK: false",
                              "Transcription success, length: 16"}));
        for (const auto &entry : log.entries()) {
            if (entry.category == Category)
                QCOMPARE(entry.type, QtInfoMsg);
        }
        QVERIFY(!log.contains(QStringLiteral("Berlin")));
        QVERIFY(!log.contains(QStringLiteral("session-token")));
    }

    // Every route needs an account, even with an own key stored; the key is never looked at.
    void startWithoutAccountIsRefused_data()
    {
        QTest::addColumn<bool>("keyStored");
        QTest::newRow("no own key") << false;
        QTest::newRow("own key stored") << true;
    }
    void startWithoutAccountIsRefused()
    {
        QFETCH(bool, keyStored);
        auto r = rig(false);
        r->keyStore->hasKey = keyStored;
        r->keyStore->key = QStringLiteral("sk-own-key-000000000000");

        r->app->toggleRecording();
        settle();
        QCOMPARE(r->changes, QStringList({"lastError=" + AppState::MessageSignInRequired,
                                          "statusText=Sign in required"}));
        QCOMPARE(r->app->lastError(),
                 QString("Please sign in to use Voxendo. Go to the Account tab to create a free account."));
        QCOMPARE(r->recorder->startCount, 0);
        QCOMPARE(r->keyStore->hasKeyCalls + r->keyStore->loadCalls, 0);
        QVERIFY(!r->app->isToggling()); // a later press is handled again
    }

    // Signing in lifts only the refusal; other outcomes stay, and nothing starts by itself.
    void signingInClearsOnlyTheRefusal_data()
    {
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("statusAfterSignIn");
        QTest::addColumn<QString>("messageAfterSignIn");
        QTest::newRow("sign in required") << "refused" << "Ready" << "";
        QTest::newRow("error") << "error" << "Error" << "Connection lost";
        QTest::newRow("recording failed") << "no file" << "Recording failed" << "Failed to save audio recording";
    }
    void signingInClearsOnlyTheRefusal()
    {
        QFETCH(QString, outcome);
        QFETCH(QString, statusAfterSignIn);
        QFETCH(QString, messageAfterSignIn);

        auto r = rig(outcome != "refused");
        if (outcome == "refused") {
            r->app->toggleRecording();
            settle();
        } else {
            QVERIFY(r->startRecording());
            r->app->toggleRecording();
            if (outcome == "no file") {
                r->recorder->finish(std::nullopt);
            } else {
                r->recorder->finish(r->recorder->lastFile);
                settle();
                r->transcriber->complete(TranscriptionOutcome::failure(QStringLiteral("Connection lost")));
            }
            settle();
            r->account->setAuthenticated(false);
            settle();
        }
        const int starts = r->recorder->startCount;
        r->changes.clear();

        r->account->setAuthenticated(true);
        QVERIFY(r->changes.isEmpty()); // delivered as a main-thread step of its own
        settle();
        QCOMPARE(r->app->statusText(), statusAfterSignIn);
        QCOMPARE(r->app->lastError(), messageAfterSignIn);
        QCOMPARE(r->recorder->startCount, starts);
        if (outcome == "refused")
            QCOMPARE(r->changes, QStringList({"statusText=Ready", "lastError="}));
        else
            QVERIFY(r->changes.isEmpty());
    }

    // Presses while a toggle is being handled are dropped; a press while transcribing changes
    // nothing and starts no second recording.
    void pressesDuringATransitionAreDropped()
    {
        auto r = rig();
        r->app->toggleRecording();
        r->app->toggleRecording(); // still Starting
        settle();
        QCOMPARE(r->recorder->startCount, 1);
        QVERIFY(r->app->isRecording());

        r->app->toggleRecording();
        r->app->toggleRecording(); // still Stopping
        settle();
        QCOMPARE(r->recorder->stopCount, 1);
        QVERIFY(r->app->isToggling());
        QCOMPARE(r->app->statusText(), QString("Processing..."));

        r->recorder->finish(r->recorder->lastFile);
        settle();
        r->changes.clear();
        r->app->toggleRecording(); // Transcribing
        QVERIFY(r->app->isToggling());
        settle();
        QVERIFY(!r->app->isToggling());
        QCOMPARE(r->recorder->startCount, 1);
        QVERIFY(r->changes.isEmpty());
        QCOMPARE(r->transcriber->calls.size(), 1);
    }

    // The language setting and the route, as passed to the transcriber and as logged.
    void routeAndLanguage_data()
    {
        QTest::addColumn<QVariant>("languageSetting"); // invalid: never set
        QTest::addColumn<bool>("hasKey");
        QTest::addColumn<QString>("storedKey");        // null: the key cannot be read
        QTest::addColumn<QString>("sessionToken");     // null: no session
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("apiKey");
        QTest::addColumn<QString>("accessToken");
        QTest::addColumn<bool>("asksForToken");

        const QString key = QStringLiteral("sk-own-key-000000000000");
        const QString token = QStringLiteral("session-token");
        QTest::newRow("nothing chosen: auto, backend") << QVariant() << false << QString() << token
                                                       << "auto" << QString() << token << true;
        QTest::newRow("chosen language passed unchanged") << QVariant("pt") << false << QString() << token
                                                          << "pt" << QString() << token << true;
        QTest::newRow("own key") << QVariant("de") << true << key << token
                                 << "de" << key << QString() << false;
        QTest::newRow("key flag but unreadable key") << QVariant() << true << QString() << token
                                                     << "auto" << QString() << token << true;
        QTest::newRow("empty stored key") << QVariant() << true << QString("") << token
                                          << "auto" << QString() << token << true;
        QTest::newRow("no session token") << QVariant() << false << QString() << QString()
                                          << "auto" << QString() << QString() << true;
    }
    void routeAndLanguage()
    {
        QFETCH(QVariant, languageSetting);
        QFETCH(bool, hasKey);
        QFETCH(QString, storedKey);
        QFETCH(QString, sessionToken);
        QFETCH(QString, language);
        QFETCH(QString, apiKey);
        QFETCH(QString, accessToken);
        QFETCH(bool, asksForToken);

        if (languageSetting.isValid())
            QSettings().setValue(AppState::LanguageSettingsKey, languageSetting);
        LogCapture log;
        auto r = rig();
        r->keyStore->hasKey = hasKey;
        r->keyStore->key = storedKey.isNull() ? std::nullopt : std::optional(storedKey);
        r->account->token = sessionToken.isNull() ? std::nullopt : std::optional(sessionToken);
        r->recorder->duration = 7.25;

        QVERIFY(r->reachTranscribing());
        QCOMPARE(r->transcriber->calls.size(), 1);
        const auto &call = r->transcriber->calls.first();
        QCOMPARE(call.language, language);
        QCOMPARE(call.apiKey.value_or(QString()), apiKey);
        QCOMPARE(call.apiKey.has_value(), !apiKey.isEmpty());
        QCOMPARE(call.accessToken.value_or(QString()), accessToken);
        QCOMPARE(call.accessToken.has_value(), !accessToken.isNull());
        QCOMPARE(call.duration, 7.25);
        QCOMPARE(r->account->tokenRequests, asksForToken ? 1 : 0);
        QVERIFY(log.messages(Category).contains(
            QStringLiteral("Starting transcription, language: %1, BYOK: %2")
                .arg(language, apiKey.isEmpty() ? "false" : "true")));
        QVERIFY(!log.contains(QStringLiteral("sk-own-key")));
    }

    // The backend request waits for the account's token; the run is already Transcribing.
    void backendRouteAwaitsTheToken()
    {
        auto r = rig();
        r->account->holdToken = true;
        QVERIFY(r->reachTranscribing());
        QCOMPARE(r->account->tokenRequests, 1);
        QVERIFY(r->transcriber->calls.isEmpty());

        r->account->token = QStringLiteral("refreshed-token");
        r->account->releaseToken();
        settle();
        QCOMPARE(r->transcriber->calls.size(), 1);
        QCOMPARE(r->transcriber->calls.first().accessToken.value_or("<none>"), QString("refreshed-token"));
    }

    // Trimmed text is inserted, blank text is not; the logged length is that of the text as
    // received, in characters, and the text itself never reaches the log.
    void transcriptHandling_data()
    {
        QTest::addColumn<QString>("received");
        QTest::addColumn<QStringList>("inserted");
        QTest::addColumn<int>("loggedLength");
        QTest::newRow("plain") << "Mitternachtszug" << QStringList{"Mitternachtszug"} << 15;
        QTest::newRow("padded") << " \n\tMitternachts zug \r\n" << QStringList{"Mitternachts zug"} << 21;
        QTest::newRow("empty") << "" << QStringList{} << 0;
        QTest::newRow("whitespace only") << " \n\t \u00a0" << QStringList{} << 5;
        QTest::newRow("combining accent counts once") << "Cafe\u0301 noir" << QStringList{"Cafe\u0301 noir"} << 9;
    }
    void transcriptHandling()
    {
        QFETCH(QString, received);
        QFETCH(QStringList, inserted);
        QFETCH(int, loggedLength);

        LogCapture log;
        auto r = rig();
        QVERIFY(r->reachTranscribing());
        r->transcriber->complete(TranscriptionOutcome::success(received));
        settle();
        QCOMPARE(r->injector->texts, inserted);
        QCOMPARE(r->app->statusText(), QString("Ready"));
        QCOMPARE(r->app->lastError(), QString());
        QVERIFY(!r->app->isProcessing());
        QCOMPARE(log.messages(Category).last(), QStringLiteral("Transcription success, length: %1").arg(loggedLength));
        QVERIFY(!log.contains(QStringLiteral("Mitternachts")));
        QVERIFY(!log.contains(QStringLiteral("noir")));
    }

    // A failed transcription ends in "Error" with the client's message, and its audio is gone
    // all the same. The message survives the next recording.
    void failedTranscription()
    {
        LogCapture log;
        auto r = rig();
        QVERIFY(r->reachTranscribing());
        const QString file = r->recorder->lastFile;
        r->changes.clear();

        const QString description = QStringLiteral("Server error (500): upstream unavailable");
        r->transcriber->complete(TranscriptionOutcome::failure(description));
        QVERIFY(!QFile::exists(file));
        settle();
        QCOMPARE(r->changes, QStringList({"isProcessing=false", "statusText=Error", "lastError=" + description}));
        QVERIFY(r->injector->texts.isEmpty());
        const auto entries = log.entries();
        const auto last = std::find_if(entries.rbegin(), entries.rend(),
                                       [](const auto &e) { return e.category == Category; });
        QVERIFY(last != entries.rend());
        QCOMPARE(last->type, QtCriticalMsg);
        QCOMPARE(last->message, "Transcription error: " + description);

        QVERIFY(r->startRecording());
        QCOMPARE(r->app->lastError(), description);
    }

    // No file from the recorder: "Recording failed", nothing sent, nothing deleted.
    void recordingFailed()
    {
        LogCapture log;
        auto r = rig();
        QVERIFY(r->startRecording());
        const QString leftBehind = r->recorder->lastFile;
        r->changes.clear();

        r->app->toggleRecording();
        r->recorder->finish(std::nullopt);
        settle();
        QCOMPARE(r->changes, QStringList({"isRecording=false", "statusText=Processing...", "isProcessing=true",
                                          "statusText=Recording failed",
                                          "lastError=Failed to save audio recording", "isProcessing=false"}));
        QVERIFY(!r->app->isToggling());
        QVERIFY(r->transcriber->calls.isEmpty());
        QVERIFY(QFile::exists(leftBehind));
        QVERIFY(log.messages(Category).isEmpty());

        QVERIFY(r->startRecording()); // the next press starts afresh
    }

    // The recorder's time limit stops a running recording like a press; it does nothing when
    // nothing records, and a press that got there first is not followed by a second stop.
    void timeLimit()
    {
        auto r = rig();
        r->recorder->fireTimeout();
        settle();
        QCOMPARE(r->recorder->startCount, 0);
        QVERIFY(r->changes.isEmpty());

        QVERIFY(r->startRecording());
        r->recorder->fireTimeout(DeliveryThread::Other);
        QVERIFY(r->app->isRecording()); // only posted so far
        settle();
        QCOMPARE(r->recorder->stopCount, 1);
        QCOMPARE(r->app->statusText(), QString("Processing..."));
        r->recorder->finish(r->recorder->lastFile);
        settle();
        QCOMPARE(r->transcriber->calls.size(), 1);
        r->transcriber->complete(TranscriptionOutcome::success(QStringLiteral("ok")));
        settle();

        QVERIFY(r->startRecording());
        r->recorder->fireTimeout();
        r->app->toggleRecording(); // the press arrives before the hook's step runs
        settle();
        QCOMPARE(r->recorder->stopCount, 2);
        QVERIFY(r->app->isToggling()); // still waiting for the recorder, not toggled again
        QVERIFY(!r->app->isRecording());
    }

    // Completions from other threads, or made before the call returns, only post work: every
    // published change happens on the main thread, in a step of its own.
    void completionsAreHandledOnTheMainThread_data()
    {
        QTest::addColumn<QString>("delivery");
        QTest::newRow("later, main thread") << "main";
        QTest::newRow("later, other thread") << "other";
        QTest::newRow("before the call returns") << "immediate";
    }
    void completionsAreHandledOnTheMainThread()
    {
        QFETCH(QString, delivery);
        auto r = rig();
        QVERIFY(r->startRecording());
        const QString file = r->recorder->lastFile;
        const DeliveryThread thread = delivery == "other" ? DeliveryThread::Other : DeliveryThread::Main;
        if (delivery == "immediate") {
            r->recorder->immediateAnswer = std::optional<QString>(file);
            r->transcriber->immediateOutcome = TranscriptionOutcome::success(QStringLiteral("done"));
        }

        r->app->toggleRecording();
        if (delivery != "immediate")
            r->recorder->finish(file, thread);
        QVERIFY(r->app->isToggling());
        QVERIFY(r->transcriber->calls.isEmpty());
        settle();
        QCOMPARE(r->transcriber->calls.size(), 1);
        if (delivery != "immediate")
            r->transcriber->complete(TranscriptionOutcome::success(QStringLiteral("done")), thread);
        QVERIFY(!QFile::exists(file));
        settle();

        QCOMPARE(r->injector->texts, QStringList{"done"});
        QCOMPARE(r->app->statusText(), QString("Ready"));
        QVERIFY(!r->app->isProcessing());
        QVERIFY(!r->app->isToggling());
        QVERIFY(!r->changeThreads.isEmpty());
        for (QThread *t : std::as_const(r->changeThreads))
            QCOMPARE(t, QThread::currentThread());
    }

    // Deferred work holds the controller weakly: answers after it is gone do nothing, except
    // that a recording is still removed.
    void answersAfterTheControllerIsGone_data()
    {
        QTest::addColumn<QString>("pending");
        QTest::newRow("recorder answer") << "recorder";
        QTest::newRow("access token") << "token";
        QTest::newRow("transcription") << "transcription";
        QTest::newRow("time limit") << "timeout";
    }
    void answersAfterTheControllerIsGone()
    {
        QFETCH(QString, pending);
        auto r = rig();
        r->account->holdToken = pending == "token";
        QVERIFY(r->startRecording());
        const QString file = r->recorder->lastFile;
        if (pending != "timeout")
            r->app->toggleRecording();
        if (pending == "token" || pending == "transcription") {
            r->recorder->finish(file);
            settle();
        }

        r->app.reset();
        if (pending == "recorder")
            r->recorder->finish(file, DeliveryThread::Other);
        else if (pending == "token")
            r->account->releaseToken();
        else if (pending == "transcription")
            r->transcriber->complete(TranscriptionOutcome::success(QStringLiteral("late")), DeliveryThread::Other);
        else
            r->recorder->fireTimeout(DeliveryThread::Other);
        settle();

        QVERIFY(r->injector->texts.isEmpty());
        QCOMPARE(r->recorder->stopCount, pending == "timeout" ? 0 : 1);
        if (pending == "token") {
            QVERIFY(r->transcriber->calls.isEmpty());
            QVERIFY(!QFile::exists(file));
        }
        if (pending == "transcription")
            QVERIFY(!QFile::exists(file));
    }

    // QML reaches the process-wide controller as a singleton the engine does not own, and the
    // Home tab can dismiss the message.
    void qmlSingletonIsTheSharedController()
    {
        AppState *shared = AppState::shared();
        shared->setLastError(QStringLiteral("Failed to save audio recording"));
        {
            QQmlEngine engine;
            engine.addImportPath(QStringLiteral("qrc:/"));
            QQmlComponent component(&engine);
            component.setData("import QtQml\nimport Voxendo\n"
                              "QtObject { property QtObject controller: AppState\n"
                              "           property string status: AppState.statusText\n"
                              "           property string message: AppState.lastError\n"
                              "           function dismiss() { AppState.lastError = undefined } }",
                              QUrl());
            std::unique_ptr<QObject> object(component.create());
            QVERIFY2(object, qPrintable(component.errorString()));
            QCOMPARE(object->property("controller").value<QObject *>(), shared);
            QCOMPARE(object->property("status").toString(), QString("Ready"));
            QCOMPARE(object->property("message").toString(), QString("Failed to save audio recording"));
            QVERIFY(QMetaObject::invokeMethod(object.get(), "dismiss"));
            QCOMPARE(shared->lastError(), QString());
            QCOMPARE(object->property("message").toString(), QString());
        }
        QCOMPARE(shared->statusText(), QString("Ready")); // survived the engine
    }
};

QTEST_GUILESS_MAIN(TestAppState)
#include "tst_appstate.moc"
