// The recorder against the session's real PulseAudio virtual microphone: what ends up in the
// file, the console lines, the time limit and every way a recording can end without a file.
#include "audio/audiorecorder.h"
#include "audiocheck.h"
#include "platform/audioinput.h"
#include "support/capture.h"
#include "support/fakeaudioinput.h"
#include "support/testsession.h"

#include <QDir>
#include <QFileInfo>
#include <QMediaDevices>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace std::chrono_literals;
using namespace voxendo;
using namespace voxendo::test;

namespace {

// What a stopRecording completion was given.
struct Answer
{
    int calls = 0;
    std::optional<QUrl> url;
    bool beforeReturn = false;
};

// Stops `recorder` and waits for the completion.
Answer stopAndWait(AudioRecorder &recorder, int timeoutMs = 5000)
{
    auto answer = std::make_shared<Answer>();
    bool returned = false;
    recorder.stopRecording([answer, &returned](std::optional<QUrl> url) {
        ++answer->calls;
        answer->url = std::move(url);
        answer->beforeReturn = !returned;
    });
    returned = true;
    (void)QTest::qWaitFor([&] { return answer->calls > 0; }, timeoutMs);
    QTest::qWait(50); // a second call would show here
    return *answer;
}

QByteArray sourceId()
{
    return qEnvironmentVariable("VOXENDO_TEST_SOURCE", QStringLiteral("vmic")).toUtf8();
}

QVector<qint16> readRaw(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray b = f.readAll();
    QVector<qint16> pcm(b.size() / 2);
    memcpy(pcm.data(), b.constData(), size_t(pcm.size()) * 2);
    return pcm;
}

} // namespace

class TestAudioRecorder : public QObject
{
    Q_OBJECT

    QTemporaryDir m_scratch;
    QString m_phraseWav;
    QVector<qint16> m_phrase;      // what is played into the microphone, at 16 kHz
    QVector<qint16> m_otherPhrase; // a different sentence, for the negative control

    // The recorder as production builds it, but with the test's directory and limit.
    std::unique_ptr<AudioRecorder> makeRecorder(const QString &dir, std::chrono::milliseconds limit = 60s)
    {
        return std::make_unique<AudioRecorder>(platform::createAudioInputProvider(), dir, limit);
    }

    bool speak(const QString &text, const QString &name, QString *wav, QVector<qint16> *pcm)
    {
        *wav = m_scratch.filePath(name + QStringLiteral(".wav"));
        const QString raw = m_scratch.filePath(name + QStringLiteral(".raw"));
        QString err = run(QStringLiteral("espeak-ng"),
                          {QStringLiteral("-v"), QStringLiteral("en-us+m3"), QStringLiteral("-s"),
                           QStringLiteral("140"), QStringLiteral("-w"), *wav, text});
        if (err.isEmpty())
            err = run(QStringLiteral("ffmpeg"),
                      {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), *wav,
                       QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-ac"),
                       QStringLiteral("1"), QStringLiteral("-ar"), QStringLiteral("16000"), raw});
        if (!err.isEmpty()) {
            qWarning() << err;
            return false;
        }
        *pcm = readRaw(raw);
        return !pcm->isEmpty();
    }

    // Records while `during` runs; returns the completion's answer.
    template <typename F>
    Answer record(AudioRecorder &recorder, F during)
    {
        QSignalSpy live(&recorder, &AudioRecorder::captureStarted);
        recorder.startRecording();
        if (!recorder.isRecording())
            return {};
        if (!live.wait(3000))
            qWarning() << "no audio arrived from the microphone";
        during();
        return stopAndWait(recorder);
    }

    void play(const QString &wav)
    {
        const QString err = run(QStringLiteral("paplay"),
                                {QStringLiteral("-d"), qEnvironmentVariable("VOXENDO_TEST_SINK"), wav});
        QVERIFY2(err.isEmpty(), qPrintable(err));
    }

private Q_SLOTS:
    void initTestCase()
    {
        VOXENDO_REQUIRE_SESSION(voxendo::test::SessionPart::Pulse);
        QVERIFY(m_scratch.isValid());
        QString unused;
        QVERIFY(speak(QStringLiteral("hello world, this is a dictation test"), QStringLiteral("phrase"),
                      &m_phraseWav, &m_phrase));
        QVERIFY(speak(QStringLiteral("completely different words about the weather"),
                      QStringLiteral("other"), &unused, &m_otherPhrase));
        QTRY_VERIFY_WITH_TIMEOUT(FakeAudioInputProvider::byId(sourceId())->answer.ok(), 5000);
    }

    // The whole chain: PulseAudio -> Qt -> AAC -> a private .m4a that holds the spoken phrase.
    void recordsThePlayedSpeechIntoAPrivateM4a()
    {
        const QString dir = AudioRecorder::defaultDirectory();
        QCOMPARE(dir, qEnvironmentVariable("XDG_RUNTIME_DIR"));
        auto recorder = makeRecorder(dir);
        ConsoleCapture console;

        const Answer answer = record(*recorder, [&] {
            play(m_phraseWav);
            QTest::qWait(300);
        });
        QCOMPARE(answer.calls, 1);
        QVERIFY(!answer.beforeReturn); // the file is completed off the main thread
        QVERIFY(answer.url.has_value());
        QCOMPARE(console.lines(), QStringList());

        const QString path = answer.url->toLocalFile();
        QCOMPARE(*answer.url, recorder->recordingUrl());
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(dir).absoluteFilePath());
        QVERIFY2(QRegularExpression(QStringLiteral(
                     "^voxendo_[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.m4a$"))
                     .match(QFileInfo(path).fileName())
                     .hasMatch(),
                 qPrintable(path));
        QCOMPARE(QFileInfo(path).permissions() & 0x7777,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

        const ProbeInfo info = probe(path);
        QVERIFY2(info.error.isEmpty(), qPrintable(info.error));
        QCOMPARE(info.codecName, QStringLiteral("aac"));
        QCOMPARE(info.sampleRate, 16000);
        QCOMPARE(info.channels, 1);
        QVERIFY2(info.formatName.contains(QStringLiteral("mp4")), qPrintable(info.formatName));
        QVERIFY2(std::abs(info.duration - recorder->lastRecordingDuration()) < 0.3,
                 qPrintable(QStringLiteral("file %1 s, measured %2 s")
                                .arg(info.duration)
                                .arg(recorder->lastRecordingDuration())));

        // It is the phrase that was spoken, and the check tells it from anything else.
        const QVector<qint16> decoded = decodeToPcm(path);
        const double phrase = bestCorrelation(decoded, m_phrase);
        qInfo() << "correlation" << phrase << bestCorrelation(decoded, m_otherPhrase);
        QVERIFY2(phrase > 0.9, qPrintable(QString::number(phrase)));
        QVERIFY(bestCorrelation(decoded, m_otherPhrase) < 0.5);
        QVERIFY(bestCorrelation(QVector<qint16>(decoded.size(), 0), m_phrase) < 0.1);
        QVERIFY(bestCorrelation(whiteNoise(int(decoded.size())), m_phrase) < 0.1);
        QFile::remove(path);
    }

    void twoRecordingsMakeTwoFiles()
    {
        QTemporaryDir dir;
        auto recorder = makeRecorder(dir.path());
        const Answer first = record(*recorder, [] { QTest::qWait(300); });
        const double firstDuration = recorder->lastRecordingDuration();
        const Answer second = record(*recorder, [] { QTest::qWait(600); });
        QVERIFY(first.url && second.url);
        QVERIFY(*first.url != *second.url);
        QVERIFY(firstDuration > 0.25 && firstDuration < 1.0);
        QVERIFY(recorder->lastRecordingDuration() > firstDuration);
        for (const QUrl &url : {*first.url, *second.url}) {
            const ProbeInfo info = probe(url.toLocalFile());
            QVERIFY2(info.error.isEmpty() && info.codecName == QLatin1String("aac"), qPrintable(info.error));
        }
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    }

    // The encoder starts with the first audio; a stop that comes before any is still answered
    // once, with the (empty) file.
    void aStopBeforeAnyAudioIsAnsweredWithTheFile()
    {
        QTemporaryDir dir;
        auto recorder = makeRecorder(dir.path());
        recorder->startRecording();
        QVERIFY(recorder->isRecording());
        const Answer answer = stopAndWait(*recorder);
        QCOMPARE(answer.calls, 1);
        QVERIFY(answer.url);
        QVERIFY(QFileInfo(answer.url->toLocalFile()).size() > 0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 1);
    }

    // Whenever no recording is under way, a stop answers none before it returns.
    void stopWithoutARecordingAnswersNoneAtOnce_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("never started") << "" << QStringList();
        QTest::newRow("already stopped") << "record" << QStringList();
        QTest::newRow("no input device")
            << "no-device"
            << QStringList{QStringLiteral("Failed to start recording: No audio input device is available")};
        QTest::newRow("directory missing") << "no-dir" << QStringList{QStringLiteral("Failed to start recording: Could not create ")};
    }

    void stopWithoutARecordingAnswersNoneAtOnce()
    {
        QFETCH(QString, before);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        QString recordIn = dir.path();
        std::unique_ptr<platform::AudioInputProvider> inputs = FakeAudioInputProvider::byId(sourceId());
        if (before == QLatin1String("no-device"))
            inputs = FakeAudioInputProvider::none();
        if (before == QLatin1String("no-dir"))
            recordIn = dir.filePath(QStringLiteral("missing"));
        AudioRecorder recorder(std::move(inputs), recordIn, 1000ms);
        bool hookCalled = false;
        recorder.setOnRecordingTimeout([&] { hookCalled = true; });

        if (before == QLatin1String("record")) {
            QVERIFY(record(recorder, [] { QTest::qWait(100); }).url);
        } else if (!before.isEmpty()) {
            ConsoleCapture console;
            recorder.startRecording();
            QCOMPARE(console.lines().size(), lines.size());
            QVERIFY2(console.lines().first().startsWith(lines.first()), qPrintable(console.lines().first()));
            QVERIFY(!recorder.isRecording());
        }
        const double duration = recorder.lastRecordingDuration();
        ConsoleCapture console;
        const Answer answer = stopAndWait(recorder, 0);
        QCOMPARE(answer.calls, 1);
        QVERIFY(answer.beforeReturn);
        QVERIFY(!answer.url);
        QCOMPARE(recorder.lastRecordingDuration(), duration);
        // A start that failed armed no time limit and left no file behind.
        QTest::qWait(1100);
        QVERIFY(!hookCalled);
        QCOMPARE(console.lines(), QStringList());
        if (before != QLatin1String("record"))
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
    }

    void timeLimitPrintsAndCallsTheHookOnce()
    {
        QCOMPARE(AudioRecorder::shared().timeLimit(), 120000ms);

        QTemporaryDir dir;
        AudioRecorder recorder(FakeAudioInputProvider::byId(sourceId()), dir.path(), 700ms);
        ConsoleCapture console;
        int hookCalls = 0;
        std::optional<Answer> answer;
        // As the dictation controller does: the hook stops the recording.
        recorder.setOnRecordingTimeout([&] {
            ++hookCalls;
            recorder.stopRecording([&](std::optional<QUrl> url) { answer = Answer{1, url, false}; });
        });

        // A recording stopped in time disarms the limit; the next one gets a fresh one.
        recorder.startRecording();
        QTest::qWait(400);
        QVERIFY(stopAndWait(recorder).url);
        recorder.startRecording();
        QTest::qWait(500); // 900 ms after the first start: the first limit must not fire
        QCOMPARE(hookCalls, 0);
        QTRY_COMPARE_WITH_TIMEOUT(hookCalls, 1, 2000);
        QCOMPARE(console.lines(),
                 QStringList{QStringLiteral("[Voxendo] Recording timeout reached (0.7s), stopping automatically")});
        QTRY_VERIFY(answer.has_value());
        QVERIFY(answer->url);
        QVERIFY2(std::abs(recorder.lastRecordingDuration() - 0.7) < 0.2,
                 qPrintable(QString::number(recorder.lastRecordingDuration())));
        QTest::qWait(1000);
        QCOMPARE(hookCalls, 1);
        QCOMPARE(console.lines().size(), 1);
    }

    // A file that cannot be completed is never handed out, whether the failure shows while
    // recording or only when the file is finished.
    void writeFailuresEndInNoFile_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("seenWhileRecording");
        QTest::newRow("directory removed")
            << "rmdir"
            << "Recording encode error: The recording file was removed before it was finished: No such file or directory"
            << false;
        QTest::newRow("disk full")
            << "full" << "Recording encode error: Could not write the recording: File too large" << true;
    }

    void writeFailuresEndInNoFile()
    {
        QFETCH(QString, fault);
        QFETCH(QString, line);
        QFETCH(bool, seenWhileRecording);
        QTemporaryDir dir;
        const QString sub = dir.filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(sub));
        AudioRecorder recorder(FakeAudioInputProvider::byId(sourceId()), sub, 60s);
        ConsoleCapture console;

        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        // Children inherit the limit too: lift it before anything else runs.
        auto restore = qScopeGuard([&] { setrlimit(RLIMIT_FSIZE, &old); });
        QSignalSpy live(&recorder, &AudioRecorder::captureStarted);
        recorder.startRecording();
        QVERIFY(live.wait(3000));
        if (fault == QLatin1String("rmdir")) {
            QVERIFY(QDir(sub).removeRecursively());
        } else {
            rlimit small = old;
            small.rlim_cur = 100; // past the header: the first block of audio does not fit
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        }
        play(m_phraseWav); // speech fills the write buffer within a second
        QTest::qWait(200);
        if (seenWhileRecording) {
            QCOMPARE(console.lines(), QStringList{line});
            QVERIFY(!recorder.isRecording());
        }
        const Answer answer = stopAndWait(recorder);
        setrlimit(RLIMIT_FSIZE, &old);
        QCOMPARE(answer.calls, 1);
        QVERIFY(!answer.url);
        QCOMPARE(answer.beforeReturn, seenWhileRecording);
        QCOMPARE(console.lines(), QStringList{line});
    }

    // The input stops delivering audio without any error from Qt (a hung or suspended device,
    // a sound server that went away). Here: a source of its own, suspended mid-recording.
    void aStalledInputEndsInNoFile()
    {
        const QString err = run(QStringLiteral("pactl"),
                                {QStringLiteral("load-module"), QStringLiteral("module-null-source"),
                                 QStringLiteral("source_name=vox_stall"), QStringLiteral("rate=16000"),
                                 QStringLiteral("channels=1")});
        QVERIFY2(err.isEmpty(), qPrintable(err));
        auto unload = qScopeGuard([] {
            run(QStringLiteral("pactl"), {QStringLiteral("unload-module"), QStringLiteral("module-null-source")});
        });
        QTRY_VERIFY_WITH_TIMEOUT(FakeAudioInputProvider::byId("vox_stall")->answer.ok(), 5000);

        QTemporaryDir dir;
        AudioRecorder recorder(FakeAudioInputProvider::byId("vox_stall"), dir.path(), 60s, 400ms);
        ConsoleCapture console;
        QSignalSpy live(&recorder, &AudioRecorder::captureStarted);
        recorder.startRecording();
        QVERIFY(live.wait(3000));
        QTest::qWait(600); // longer than the stall timeout while audio flows: no false alarm
        QVERIFY(recorder.isRecording());
        QVERIFY(run(QStringLiteral("pactl"), {QStringLiteral("suspend-source"), QStringLiteral("vox_stall"),
                                              QStringLiteral("1")})
                    .isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(console.lines(), QStringList{QStringLiteral("Recording finished unsuccessfully")}, 3000);
        QVERIFY(!recorder.isRecording());
        const Answer answer = stopAndWait(recorder, 0);
        QVERIFY(answer.beforeReturn);
        QVERIFY(!answer.url);
        QCOMPARE(console.lines().size(), 1);
    }

    void microphoneAccess_data()
    {
        QTest::addColumn<bool>("hasDevice");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("a microphone") << true << QStringList();
        QTest::newRow("none") << false << QStringList{QStringLiteral("Microphone permission denied")};
    }

    void microphoneAccess()
    {
        QFETCH(bool, hasDevice);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        AudioRecorder recorder(hasDevice ? platform::createAudioInputProvider()
                                         : std::unique_ptr<platform::AudioInputProvider>(FakeAudioInputProvider::none()),
                               dir.path(), 60s);
        ConsoleCapture console;
        recorder.requestMicrophoneAccess();
        QCOMPARE(console.lines(), lines);
    }

    void defaultDirectoryIsPrivate_data()
    {
        QTest::addColumn<QString>("runtime");
        QTest::addColumn<bool>("used");
        QTest::newRow("runtime directory") << "<dir>" << true;
        QTest::newRow("unset") << "" << false;
        QTest::newRow("missing") << "<dir>/gone" << false;
        QTest::newRow("relative") << "relative/dir" << false;
    }

    void defaultDirectoryIsPrivate()
    {
        QFETCH(QString, runtime);
        QFETCH(bool, used);
        QTemporaryDir dir;
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        runtime.replace(QStringLiteral("<dir>"), dir.path());
        qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
        const QString chosen = AudioRecorder::defaultDirectory();
        qputenv("XDG_RUNTIME_DIR", saved);
        QCOMPARE(chosen, used ? runtime : QDir::tempPath());
    }
};

QTEST_GUILESS_MAIN(TestAudioRecorder)
#include "tst_audiorecorder.moc"
