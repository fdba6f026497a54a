// Latency and footprint of the audio recorder, against the real sound server.
//
//   scripts/test-session.sh build/bench/bench_recorder [--starts N] [--takes N] [--real-120]
//
// (a) startRecording -> first captured audio (N starts; the first, cold one reported apart)
// (b) stopRecording -> completion, for 10 s takes recorded live while speech plays, and for a
//     120 s take fed through the same encoder thread faster than real time (--real-120 also
//     records one live 120 s take through the recorder)
// (c) CPU time per second of audio (whole process: capture, hand-over, encoding)
// (d) bytes per second of audio in the file
// and how late the main thread's event loop ran while recording (it must stay responsive).
#include "audio/aacfilewriter.h"
#include "audio/audiorecorder.h"
#include "audio/recordingencoder.h"
#include "platform/audioinput.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

using namespace std::chrono_literals;
using namespace voxendo;

namespace {

double cpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

struct Stats
{
    QVector<double> v;
    void add(double x) { v.append(x); }
    double pct(double p) const
    {
        if (v.isEmpty())
            return 0;
        QVector<double> s = v;
        std::sort(s.begin(), s.end());
        return s[std::min<qsizetype>(s.size() - 1, qsizetype(p * double(s.size() - 1) + 0.5))];
    }
    double median() const { return pct(0.5); }
    double max() const { return v.isEmpty() ? 0 : *std::max_element(v.begin(), v.end()); }
};

// Sleeps in the event loop until `done` (checked after every event). Results are time-stamped
// where they happen, so the wake-up tick only bounds the timeout.
void waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QTimer tick;
    tick.start(50);
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void sleepInLoop(int msecs)
{
    QEventLoop loop;
    QTimer::singleShot(msecs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// Measures how late a 10 ms timer fires on the main thread: the event loop's responsiveness.
// (It costs about 4 ms of CPU per second itself, included in the live takes' figure.)
class LoopProbe : public QObject
{
public:
    LoopProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            lateness.add(std::max(0.0, ms(now - m_last) - 10.0));
            m_last = now;
        });
    }
    void start()
    {
        lateness = {};
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    Stats lateness;

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
};

QString runTool(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return program + QStringLiteral(": ") + QString::fromLocal8Bit(p.readAllStandardError());
    return {};
}

// Loops a speech file into the test sink for as long as it lives.
class Speaker
{
public:
    explicit Speaker(QString wav) : m_wav(std::move(wav))
    {
        QObject::connect(&m_process, &QProcess::finished, [this] {
            if (m_running)
                play();
        });
    }
    ~Speaker() { stop(); }
    void start()
    {
        m_running = true;
        play();
    }
    void stop()
    {
        m_running = false;
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

private:
    void play()
    {
        m_process.start(QStringLiteral("paplay"),
                        {QStringLiteral("-d"), qEnvironmentVariable("VOXENDO_TEST_SINK", QStringLiteral("vsink")), m_wav});
    }
    QString m_wav;
    QProcess m_process;
    bool m_running = false;
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Take
{
    double stopCallMs = 0;   // time spent inside stopRecording()
    double stopToFileMs = 0; // stopRecording() -> completion with the file
    double audioSeconds = 0;
    double cpuPerAudioSecond = 0;
    double bytesPerSecond = 0;
    Stats loopLateness;
    bool ok = false;
};

Take liveTake(AudioRecorder &recorder, Speaker &speaker, int seconds, LoopProbe &probe)
{
    Take take;
    bool live = false;
    auto conn = QObject::connect(&recorder, &AudioRecorder::captureStarted, [&] { live = true; });
    speaker.start();
    probe.start();
    sleepInLoop(500); // let playback get going
    const double cpu0 = cpuSeconds();
    recorder.startRecording();
    waitUntil([&] { return live; }, 3000);
    sleepInLoop(seconds * 1000);

    std::optional<QUrl> url;
    bool answered = false;
    QElapsedTimer stop;
    stop.start();
    recorder.stopRecording([&](std::optional<QUrl> u) {
        take.stopToFileMs = ms(stop.nsecsElapsed());
        url = std::move(u);
        answered = true;
    });
    take.stopCallMs = ms(stop.nsecsElapsed());
    waitUntil([&] { return answered; }, 10000);
    const double cpu = cpuSeconds() - cpu0;
    probe.stop();
    speaker.stop();
    QObject::disconnect(conn);

    take.loopLateness = probe.lateness;
    take.audioSeconds = recorder.lastRecordingDuration();
    take.cpuPerAudioSecond = cpu / take.audioSeconds;
    if (url) {
        take.ok = true;
        take.bytesPerSecond = double(QFileInfo(url->toLocalFile()).size()) / take.audioSeconds;
        QFile::remove(url->toLocalFile());
    }
    return take;
}

void printTake(const char *name, const Take &t)
{
    std::printf("%-28s %s stop call %6.2f ms | stop->file %6.2f ms | audio %6.2f s | CPU %5.1f ms/s "
                "| %6.0f B/s | loop late p99 %5.2f ms, max %6.2f ms\n",
                name, t.ok ? "ok  " : "FAIL", t.stopCallMs, t.stopToFileMs, t.audioSeconds,
                t.cpuPerAudioSecond * 1000, t.bytesPerSecond, t.loopLateness.pct(0.99),
                t.loopLateness.max());
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("VOXENDO_MODULE_DIR")) // the encoder module of this build tree
        qputenv("VOXENDO_MODULE_DIR", VOXENDO_BENCH_MODULE_DIR);
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    QCommandLineOption startsOpt(QStringLiteral("starts"), QStringLiteral("Starts to time for (a)."),
                                 QStringLiteral("n"), QStringLiteral("30"));
    QCommandLineOption takesOpt(QStringLiteral("takes"), QStringLiteral("Live 10 s takes for (b)."),
                                QStringLiteral("n"), QStringLiteral("3"));
    QCommandLineOption real120Opt(QStringLiteral("real-120"),
                                  QStringLiteral("Also record one live 120 s take."));
    parser.addOptions({startsOpt, takesOpt, real120Opt});
    parser.process(app);

    if (qEnvironmentVariableIsEmpty("VOXENDO_TEST_SINK"))
        std::fprintf(stderr, "note: not in the test session; speech goes to the default sink\n");

    QTemporaryDir scratch;
    const QString wav = scratch.filePath(QStringLiteral("speech.wav"));
    const QString raw = scratch.filePath(QStringLiteral("speech.raw"));
    const QString text = QStringLiteral(
        "Hello world. This is a dictation benchmark for the recorder. It speaks for about ten "
        "seconds, so that the encoder sees real speech rather than silence, which costs far "
        "less to encode and would flatter every figure below.");
    QString err = runTool(QStringLiteral("espeak-ng"),
                          {QStringLiteral("-v"), QStringLiteral("en-us+m3"), QStringLiteral("-s"),
                           QStringLiteral("140"), QStringLiteral("-w"), wav, text});
    if (err.isEmpty())
        err = runTool(QStringLiteral("ffmpeg"),
                      {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), wav,
                       QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-ac"),
                       QStringLiteral("1"), QStringLiteral("-ar"), QStringLiteral("16000"), raw});
    if (!err.isEmpty()) {
        std::fprintf(stderr, "cannot make speech: %s\n", qPrintable(err));
        return 1;
    }
    const QByteArray speech = readFile(raw);

    QTemporaryDir out(QDir(AudioRecorder::defaultDirectory()).filePath(QStringLiteral("bench-XXXXXX")));
    AudioRecorder recorder(platform::createAudioInputProvider(), out.path(), AudioRecorder::kTimeLimit);
    LoopProbe probe;

    // (a) start -> first audio.
    const int starts = parser.value(startsOpt).toInt();
    Stats firstAudio, startCall;
    double cold = 0;
    int failedStarts = 0;
    for (int i = 0; i < starts; ++i) {
        qint64 firstAt = -1;
        QElapsedTimer clock;
        auto conn = QObject::connect(&recorder, &AudioRecorder::captureStarted,
                                     [&] { firstAt = clock.nsecsElapsed(); });
        clock.start();
        recorder.startRecording();
        const double call = ms(clock.nsecsElapsed());
        waitUntil([&] { return firstAt >= 0; }, 3000);
        QObject::disconnect(conn);
        bool answered = false;
        recorder.stopRecording([&](std::optional<QUrl> url) {
            answered = true;
            if (url)
                QFile::remove(url->toLocalFile());
        });
        waitUntil([&] { return answered; }, 5000);
        if (firstAt < 0) {
            ++failedStarts;
            continue;
        }
        if (i == 0) {
            cold = ms(firstAt);
            continue;
        }
        firstAudio.add(ms(firstAt));
        startCall.add(call);
        sleepInLoop(50);
    }
    std::printf("(a) start -> first audio      median %6.2f ms | p90 %6.2f ms | max %6.2f ms | cold %6.2f ms "
                "| startRecording() call median %5.2f ms | %d runs, %d without audio\n",
                firstAudio.median(), firstAudio.pct(0.9), firstAudio.max(), cold,
                startCall.median(), int(firstAudio.v.size()), failedStarts);

    // (b)-(d) live 10 s takes with speech playing.
    Speaker speaker(wav);
    const int takes = parser.value(takesOpt).toInt();
    for (int i = 0; i < takes; ++i) {
        const Take t = liveTake(recorder, speaker, 10, probe);
        printTake(qPrintable(QStringLiteral("(b) live 10 s take #%1").arg(i + 1)), t);
    }
    if (parser.isSet(real120Opt))
        printTake("(b) live 120 s take", liveTake(recorder, speaker, 120, probe));

    // (b) 120 s through the encoder thread, faster than real time, then a stop exactly as the
    // recorder makes it: the last 10 ms of audio, finish, the answer back on this thread.
    {
        RecordingEncoder encoder;
        const QString path = out.filePath(QStringLiteral("fed-120.m4a"));
        auto writer = AacFileWriter::create(path);
        if (!writer.ok()) {
            std::fprintf(stderr, "%s\n", qPrintable(writer.status.message));
            return 1;
        }
        quint64 fed = encoder.begin(std::move(*writer.value));
        std::optional<platform::Status> result;
        quint64 idleMarker = 0;
        bool idle = false;
        QObject::connect(&encoder, &RecordingEncoder::finished, [&](quint64 s, const platform::Status &st) {
            if (s == idleMarker)
                idle = true;
            else if (s == fed)
                result = st;
        });
        constexpr qsizetype chunk = 320; // what the capture hands over every 10 ms
        const qsizetype total = 120 * 16000 * 2;
        const double cpu0 = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        qsizetype at = 0;
        while (at < total - chunk) {
            const qsizetype from = at % (speech.size() - chunk);
            encoder.append(fed, speech.mid(from & ~qsizetype(1), chunk));
            at += chunk;
        }
        // Let the worker catch up (as it does in real time), marked by a session of its own.
        auto marker = AacFileWriter::create(out.filePath(QStringLiteral("marker.m4a")));
        idleMarker = encoder.begin(std::move(*marker.value));
        encoder.finish(idleMarker);
        waitUntil([&] { return idle; }, 60000);
        const double feedSeconds = double(wall.nsecsElapsed()) / 1e9;
        const double cpu = cpuSeconds() - cpu0;

        QElapsedTimer stop;
        stop.start();
        encoder.append(fed, speech.left(chunk));
        encoder.finish(fed);
        waitUntil([&] { return result.has_value(); }, 10000);
        const double stopMs = ms(stop.nsecsElapsed());
        const double bytes = double(QFileInfo(path).size());
        std::printf("(b) fed 120 s take            %s stop->file %6.2f ms | encoded in %5.2f s | CPU %5.1f ms/s "
                    "| %6.0f B/s (%.0f KB)\n",
                    result && result->ok() ? "ok  " : "FAIL", stopMs, feedSeconds, cpu / 120 * 1000,
                    bytes / 120, bytes / 1024);
    }
    // (c) the encoder alone, on this thread: what the hand-over and capture add is the rest.
    {
        auto writer = AacFileWriter::create(out.filePath(QStringLiteral("direct-120.m4a")));
        if (writer.ok()) {
            std::vector<qint16> samples(size_t(speech.size() / 2));
            memcpy(samples.data(), speech.constData(), samples.size() * 2);
            const double cpu0 = cpuSeconds();
            qint64 written = 0;
            while (written < 120 * 16000) {
                const size_t n = std::min<size_t>(samples.size(), size_t(120 * 16000 - written));
                (*writer.value)->write(std::span<const qint16>(samples.data(), n));
                written += qint64(n);
            }
            (*writer.value)->finish();
            std::printf("(c) encoder alone, 120 s      CPU %5.1f ms/s\n", (cpuSeconds() - cpu0) / 120 * 1000);
        }
    }
    std::printf("targets: (a) <= 20 ms median, (b) <= 30 ms for 120 s, (d) <= 4500 B/s\n");
    return 0;
}
