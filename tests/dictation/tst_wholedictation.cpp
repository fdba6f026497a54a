// One whole dictation inside this process, on the headless desktop, through the process's own
// managers: the shortcut pressed on the X server, the virtual microphone hearing speech, the
// recording uploaded to an HTTPS stand-in of the backend with the signed-in session, the text
// pasted into another application's field, the clipboard put back and the recording deleted.
#include "account/authmanager.h"
#include "audio/audiocheck.h"
#include "audio/audiorecorder.h"
#include "dictation/appstate.h"
#include "insertion/helperprocess.h"
#include "insertion/textinjector.h"
#include "shortcut/hotkeymanager.h"
#include "support/fakeauthservice.h"
#include "support/httpsfakeserver.h"
#include "support/testsession.h"

#include <QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace voxendo;
using namespace voxendo::test;

namespace {

const QString Email = QStringLiteral("ada@example.com");
const QString Password = QStringLiteral("correct horse");
const QString Phrase = QStringLiteral("hello world");
const QByteArray TranscriptionPath = "/v1/audio/transcriptions";
const QString AppVersion = QStringLiteral("4.5.6");

struct FormPart
{
    QByteArray name;
    QByteArray fileName;
    QByteArray contentType;
    QByteArray data;
};

// The parts of a multipart/form-data body, in order; empty when the body does not parse.
QList<FormPart> formParts(const RecordedRequest &request)
{
    const QByteArray type = request.header("Content-Type");
    const qsizetype at = type.indexOf("boundary=");
    if (!type.startsWith("multipart/form-data") || at < 0)
        return {};
    QByteArray boundary = type.mid(at + 9).trimmed();
    if (boundary.startsWith('"'))
        boundary = boundary.mid(1, boundary.size() - 2);
    const QByteArray delimiter = "--" + boundary;
    const QByteArray &body = request.body;

    QList<FormPart> parts;
    qsizetype pos = body.indexOf(delimiter);
    while (pos >= 0) {
        pos += delimiter.size();
        if (body.mid(pos, 2) == "--")
            return parts;
        const qsizetype headersEnd = body.indexOf("\r\n\r\n", pos);
        const qsizetype next = body.indexOf("\r\n" + delimiter, headersEnd);
        if (headersEnd < 0 || next < 0)
            return {};
        FormPart part;
        for (const QByteArray &line : body.mid(pos + 2, headersEnd - pos - 2).split('\n')) {
            const QByteArray header = line.trimmed();
            static const QRegularExpression nameRe(QStringLiteral(R"(; name="([^"]*)\")"));
            static const QRegularExpression fileRe(QStringLiteral(R"(; filename="([^"]*)\")"));
            if (header.toLower().startsWith("content-disposition:")) {
                part.name = nameRe.match(QString::fromUtf8(header)).captured(1).toUtf8();
                part.fileName = fileRe.match(QString::fromUtf8(header)).captured(1).toUtf8();
            } else if (header.toLower().startsWith("content-type:")) {
                part.contentType = header.mid(13).trimmed();
            }
        }
        part.data = body.mid(headersEnd + 4, next - headersEnd - 4);
        parts.append(part);
        pos = next + 2;
    }
    return {};
}

std::optional<FormPart> partNamed(const QList<FormPart> &parts, const QByteArray &name)
{
    for (const FormPart &part : parts) {
        if (part.name == name)
            return part;
    }
    return std::nullopt;
}

// Recordings the recorder left in its private directory.
QStringList leftoverRecordings()
{
    return QDir(AudioRecorder::defaultDirectory()).entryList({QStringLiteral("voxendo_*.m4a")}, QDir::Files);
}

// Runs a program to its end while this event loop keeps serving the recorder, the clipboard and
// the network.
bool runToEnd(const QString &program, const QStringList &arguments, int timeoutMs = 20000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        process.kill();
        process.waitForFinished(2000);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The global shortcut as a person presses it: Alt+Space through the X server (XTest). True once
// the hot key has reported the press.
bool pressShortcut()
{
    QSignalSpy pressed(&HotkeyManager::shared(), &HotkeyManager::hotKeyPressed);
    if (!runToEnd(QStringLiteral("xdotool"), {"key", "--clearmodifiers", "alt+space"}))
        return false;
    if (pressed.isEmpty() && !pressed.wait(5000)) {
        qWarning("xdotool pressed Alt+Space but the hot key reported nothing");
        return false;
    }
    return true;
}

void screenshot(const QString &name)
{
    const QString dir = qEnvironmentVariable("VOXENDO_SCREENSHOT_DIR", QStringLiteral(VOXENDO_SCREENSHOT_DIR));
    QDir().mkpath(dir);
    if (QScreen *screen = QGuiApplication::primaryScreen())
        screen->grabWindow(0).save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

} // namespace

class TestWholeDictation : public QObject
{
    Q_OBJECT

    QTemporaryDir m_files;
    HttpsFakeServer m_server;
    std::optional<FakeAuthService> m_auth;
    QString m_speech;             // the phrase as espeak-ng says it (WAV)
    QVector<qint16> m_speechPcm;  // the same, 16 kHz mono
    QString m_token;              // the signed-in session's access token

    AppState *appState() { return AppState::shared(); }

    QString writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(m_files.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return file.fileName();
    }

    // A clipboard owned by another application, as a person's clipboard usually is.
    std::unique_ptr<Helper> ownClipboard(const QByteArray &text)
    {
        auto owner = std::make_unique<Helper>(QStringLiteral(VOXENDO_CLIPBOARD_OWNER),
                                              QStringList{"serve", "text/plain=" + writeFile("clip", text)});
        return owner->waitForLine(QStringLiteral("OWNED")) ? std::move(owner) : nullptr;
    }

    // The clipboard's plain text as another application reads it.
    static QByteArray clipboardText()
    {
        Helper dump(QStringLiteral(VOXENDO_CLIPBOARD_OWNER), {QStringLiteral("dump")});
        if (!dump.waitForLine(QStringLiteral("END")))
            return "no answer from the clipboard";
        for (const QString &line : dump.linesStartingWith(QStringLiteral("FORMAT text/plain ")))
            return QByteArray::fromBase64(line.toLatin1());
        return {};
    }

    // Shortcut, speech, shortcut; true once the controller has finished with the recording.
    bool dictate(qint64 *heldMs = nullptr)
    {
        if (!pressShortcut() || !QTest::qWaitFor([this] { return appState()->isRecording(); }, 5000))
            return false;
        QElapsedTimer held;
        held.start();
        if (!runToEnd(QStringLiteral("paplay"), {"-d", qEnvironmentVariable("VOXENDO_TEST_SINK", "vsink"), m_speech}))
            return false;
        QTest::qWait(300); // the tail of the speech through the sink's latency
        if (!pressShortcut())
            return false;
        if (heldMs)
            *heldMs = held.elapsed();
        return QTest::qWaitFor([this] { return !appState()->isRecording() && !appState()->isProcessing(); }, 20000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        VOXENDO_REQUIRE_SESSION(SessionPart::X11);
        VOXENDO_REQUIRE_SESSION(SessionPart::Pulse);
        VOXENDO_REQUIRE_SESSION(SessionPart::Keyring);
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(m_files.isValid());

        QCoreApplication::setOrganizationName(QStringLiteral("Voxendo"));
        QCoreApplication::setApplicationName(QStringLiteral("Voxendo"));
        QCoreApplication::setApplicationVersion(AppVersion);

        // The process's managers read their addresses when they are first used, below.
        QVERIFY(m_server.listen());
        m_auth.emplace(m_server);
        m_auth->serveConfig();
        m_auth->addUser(Email, Password);
        qputenv("VOXENDO_BACKEND_URL", m_server.baseUrlString().toUtf8());
        qputenv("VOXENDO_OPENAI_API_BASE", m_server.baseUrlString().toUtf8());
        qputenv("VOXENDO_EXTRA_CA_FILE", HttpsFakeServer::trustedCaPath().toUtf8());

        m_speech = m_files.filePath(QStringLiteral("speech.wav"));
        QVERIFY(runToEnd(QStringLiteral("espeak-ng"), {"-v", "en-us+m3", "-s", "140", "-w", m_speech, Phrase}));
        m_speechPcm = decodeToPcm(m_speech);
        QVERIFY(m_speechPcm.size() > 8000);

        // Start-up as the shell runs it: configuration, then the global shortcut, whose presses
        // reach the controller through the main thread's queue.
        QCoro::waitFor(AuthManager::shared()->configure());
        QVERIFY(AuthManager::shared()->isConfigured());
        HotkeyManager::shared().registerHotKey();
        QVERIFY2(HotkeyManager::shared().isRegistered(), "Alt+Space could not be grabbed");
        connect(&HotkeyManager::shared(), &HotkeyManager::hotKeyPressed, appState(),
                &AppState::toggleRecording, Qt::QueuedConnection);
        QVERIFY(leftoverRecordings().isEmpty());
    }

    // The session lives in the session's keyring: leave it signed out for whatever runs next.
    void cleanupTestCase()
    {
        if (AuthManager::shared()->isAuthenticated())
            QCoro::waitFor(AuthManager::shared()->signOut());
        QVERIFY(!AuthManager::shared()->isAuthenticated());
    }

    void cleanup()
    {
        runToEnd(QStringLiteral("xdotool"), {"keyup", "alt"});
        if (appState()->isRecording())
            appState()->toggleRecording();
        if (!QTest::qWaitFor([this] { return !appState()->isProcessing(); }, 20000))
            qWarning("the controller is still processing after the test");
    }

    // Nobody signed in: the shortcut records nothing and uploads nothing.
    void shortcutWithoutAccountRecordsNothing()
    {
        QVERIFY(!AuthManager::shared()->isAuthenticated());
        QVERIFY(pressShortcut());
        QTRY_COMPARE(appState()->statusText(), AppState::StatusSignInRequired);
        QCOMPARE(appState()->lastError(), AppState::MessageSignInRequired);
        QTest::qWait(300);
        QVERIFY(!appState()->isRecording());
        QVERIFY(!AudioRecorder::shared().isRecording());
        QVERIFY(m_server.requestsTo(TranscriptionPath).isEmpty());
        QVERIFY(leftoverRecordings().isEmpty());
    }

    void speechBecomesTextInAnotherApplication()
    {
        QVERIFY(QCoro::waitFor(AuthManager::shared()->signIn(Email, Password)));
        QTRY_VERIFY(AuthManager::shared()->isAuthenticated());
        QTRY_COMPARE(appState()->statusText(), AppState::StatusReady);
        const std::optional<QString> token = QCoro::waitFor(AuthManager::shared()->currentAccessToken());
        QVERIFY(token && !token->isEmpty());
        m_token = *token;

        m_server.enqueue("POST", TranscriptionPath,
                         FakeResponse::json(200, QJsonObject{{"text", " Hello from the whole pipeline.\n"}}));
        const auto clipboard = ownClipboard("what the user had copied");
        QVERIFY(clipboard);
        PasteTarget target;
        QVERIFY(target.waitForLine(QStringLiteral("READY")));
        QSignalSpy inserted(&TextInjector::shared(), &TextInjector::insertionFinished);

        qint64 heldMs = 0;
        QVERIFY(dictate(&heldMs));
        QCOMPARE(appState()->statusText(), AppState::StatusReady);
        QCOMPARE(appState()->lastError(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(target.text(), QStringLiteral("Hello from the whole pipeline."), 5000);
        screenshot(QStringLiteral("wholedictation-target"));
        QVERIFY(inserted.wait(5000) || inserted.size() == 1);
        QCOMPARE(clipboardText(), QByteArray("what the user had copied"));
        QVERIFY2(leftoverRecordings().isEmpty(), qPrintable(leftoverRecordings().join(' ')));

        // The upload: one request, with the session, carrying the whole recording.
        const QList<RecordedRequest> uploads = m_server.requestsTo(TranscriptionPath);
        QCOMPARE(uploads.size(), 1);
        const RecordedRequest &upload = uploads.first();
        QCOMPARE(upload.method, QByteArray("POST"));
        QCOMPARE(upload.header("Authorization"), "Bearer " + token->toUtf8());
        QCOMPARE(upload.header("X-App-Version"), AppVersion.toUtf8());
        const QList<FormPart> parts = formParts(upload);
        const std::optional<FormPart> file = partNamed(parts, "file");
        QVERIFY2(file, upload.header("Content-Type").constData());
        QVERIFY2(QRegularExpression(QStringLiteral("^voxendo_[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\.m4a$"))
                     .match(QString::fromUtf8(file->fileName)).hasMatch(),
                 file->fileName.constData());
        QVERIFY(!partNamed(parts, "language")); // "auto" is not sent
        const std::optional<FormPart> durationPart = partNamed(parts, "durationSeconds");
        QVERIFY(durationPart);
        const double duration = durationPart->data.toDouble();
        QCOMPARE(duration, AudioRecorder::shared().lastRecordingDuration());

        const QString uploaded = writeFile(QStringLiteral("uploaded.m4a"), file->data);
        const ProbeInfo info = probe(uploaded);
        QVERIFY2(info.error.isEmpty(), qPrintable(info.error));
        QCOMPARE(info.codecName, QStringLiteral("aac"));
        QCOMPARE(info.sampleRate, 16000);
        QCOMPARE(info.channels, 1);
        // As long as the shortcut was held down, and no longer than the file says it is.
        QVERIFY2(qAbs(info.duration - duration) < 0.15, qPrintable(QStringLiteral("file %1 s, sent %2 s").arg(info.duration).arg(duration)));
        QVERIFY2(qAbs(duration - heldMs / 1000.0) < 0.5, qPrintable(QStringLiteral("sent %1 s, held %2 ms").arg(duration).arg(heldMs)));
        // And it is the speech that was played into the microphone, not silence or noise.
        const double correlation = bestCorrelation(decodeToPcm(uploaded), m_speechPcm);
        qInfo("correlation of the upload with the spoken phrase: %.3f", correlation);
        QVERIFY2(correlation > 0.8, qPrintable(QString::number(correlation)));
    }

    // The backend fails: an error for the user, nothing pasted, the clipboard and the field as
    // they were, and the recording deleted all the same.
    void failedTranscriptionLeavesNothingBehind()
    {
        QVERIFY(AuthManager::shared()->isAuthenticated());
        m_server.clearRequests();
        m_server.enqueue("POST", TranscriptionPath, FakeResponse::json(500, QJsonObject{{"error", "boom"}}));
        const auto clipboard = ownClipboard("still mine");
        QVERIFY(clipboard);
        PasteTarget target;
        QVERIFY(target.waitForLine(QStringLiteral("READY")));

        QVERIFY(dictate());
        QCOMPARE(appState()->statusText(), AppState::StatusError);
        QVERIFY(!appState()->lastError().isEmpty());
        const QList<RecordedRequest> uploads = m_server.requestsTo(TranscriptionPath);
        QCOMPARE(uploads.size(), 1);
        // Reading the token for the first dictation must not have used the session up.
        QCOMPARE(uploads.first().header("Authorization"), "Bearer " + m_token.toUtf8());
        QTest::qWait(800); // longer than the paste and restore delays
        QCOMPARE(target.text(), QString());
        QCOMPARE(clipboardText(), QByteArray("still mine"));
        QVERIFY2(leftoverRecordings().isEmpty(), qPrintable(leftoverRecordings().join(' ')));
    }
};

QTEST_MAIN(TestWholeDictation)
#include "tst_wholedictation.moc"
