// The latency budget of one dictation, end to end, against voxendo-devserver in the headless
// session, next to the script a Linux user would otherwise write. Run it with
//
//   scripts/bench-latency.sh [--takes N] [--long-seconds S] [--idle-seconds S] [--no-baseline]
//
// Voxendo is the real `voxendo` binary with its stage marks on (the logging category
// com.voxendo.app.Trace), signed in through the product's own AuthManager beforehand (this
// program re-runs itself with --sign-in), and driven by XTest key presses of the real shortcut.
// The server's marks come from `voxendo-devserver --trace`. All marks are CLOCK_MONOTONIC.
//
// Stages, median and p95 over N dictations:
//   shortcut press -> first captured frame      (press noted here; frame marked by the app)
//   stop press     -> first byte of the upload  (press noted here; byte marked by the server)
//   server answer  -> paste chord posted        (answer marked by the server; chord by the app)
// plus one long take for stop -> upload, idle RSS and wake-ups per second (all threads'
// context switches over a window) after start-up with the window closed, and again after use.
//
// The baseline: parecord started at the press (first frame = the WAV file growing past its
// header), and at the stop a shell pipeline: ffmpeg to m4a, curl to the same endpoint, jq,
// xclip, xdotool key ctrl+v (chord = the pipeline's exit).
#include "x11keys.h"

#include "account/authmanager.h"
#include "audio/recordingencoder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <QCoroTask>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <optional>

namespace {

qint64 nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void say(const QString &line)
{
    QTextStream(stdout) << line << Qt::endl;
}

void fail(const QString &line)
{
    QTextStream(stderr) << "bench_latency: " << line << Qt::endl;
}

// Runs the event loop until `done` or the timeout. Marks are time-stamped where they happen,
// so how soon this notices them does not matter.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QTimer tick;
    tick.start(5);
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() >= timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

void sleepMs(int ms)
{
    waitUntil([] { return false; }, ms);
}

// Median and p95 (nearest rank: with 15 samples the p95 is the largest).
struct Series
{
    QList<double> values;
    void add(double v) { values.append(v); }
    bool isEmpty() const { return values.isEmpty(); }
    double rank(double p) const
    {
        if (values.isEmpty())
            return std::nan("");
        QList<double> s = values;
        std::sort(s.begin(), s.end());
        const auto n = s.size();
        const auto r = std::max<qsizetype>(1, qsizetype(std::ceil(p * double(n))));
        return s[std::min(r, n) - 1];
    }
    double median() const
    {
        if (values.isEmpty())
            return std::nan("");
        QList<double> s = values;
        std::sort(s.begin(), s.end());
        const auto n = s.size();
        return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
    }
    double p95() const { return rank(0.95); }
};

QString fmt(double v, int decimals = 1)
{
    return std::isnan(v) ? QStringLiteral("n/a") : QString::number(v, 'f', decimals);
}

// ---- children are ended with the benchmark, also when it is interrupted ----

volatile sig_atomic_t g_children[4] = {0, 0, 0, 0};

void registerChild(qint64 pid)
{
    for (auto &slot : g_children) {
        if (slot == 0) {
            slot = sig_atomic_t(pid);
            return;
        }
    }
}

void unregisterChild(qint64 pid)
{
    for (auto &slot : g_children) {
        if (slot == sig_atomic_t(pid))
            slot = 0;
    }
}

void onInterrupt(int signal)
{
    for (auto &slot : g_children) {
        if (slot > 0)
            ::kill(pid_t(slot), SIGTERM);
    }
    ::_exit(128 + signal);
}

// ---- a child process whose output lines are read as they come ----

class LineProcess : public QObject
{
public:
    std::function<void(const QString &)> onStdout;
    std::function<void(const QString &)> onStderr;
    QProcess process;

    LineProcess()
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, this, [this] {
            process.setReadChannel(QProcess::StandardOutput);
            while (process.canReadLine())
                deliver(onStdout, process.readLine());
        });
        QObject::connect(&process, &QProcess::readyReadStandardError, this, [this] {
            process.setReadChannel(QProcess::StandardError);
            while (process.canReadLine())
                deliver(onStderr, process.readLine());
        });
    }
    ~LineProcess() override { stop(); }

    void start(const QString &program, const QStringList &arguments)
    {
        process.start(program, arguments);
        if (process.waitForStarted(10000))
            registerChild(process.processId());
    }

    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        unregisterChild(process.processId());
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(2000);
        }
    }

private:
    static void deliver(const std::function<void(const QString &)> &f, const QByteArray &line)
    {
        if (f)
            f(QString::fromUtf8(line).trimmed());
    }
};

// ---- /proc ----

// A field of /proc/<pid>/status in kB ("VmRSS", "RssAnon", "RssFile"), or -1.
qint64 statusKb(qint64 pid, const QByteArray &field)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = field + ':';
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Context switches (voluntary + involuntary) per thread: every wake-up of a sleeping thread is
// one voluntary switch when it sleeps again.
std::map<qint64, std::pair<QString, qint64>> switchesByThread(qint64 pid)
{
    std::map<qint64, std::pair<QString, qint64>> out;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks.filePath(tid + QStringLiteral("/status")));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        QString name;
        qint64 n = 0;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("Name:"))
                name = QString::fromUtf8(line.mid(5).trimmed());
            else if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                n += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
        out[tid.toLongLong()] = {name, n};
    }
    return out;
}

// The largest resident mappings, for finding what holds memory.
QStringList largestMappings(qint64 pid, int count)
{
    QFile f(QStringLiteral("/proc/%1/smaps").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    std::map<QString, qint64> byName;
    QString current;
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> parts = line.simplified().split(' ');
        if (parts.size() >= 5 && parts[0].contains('-') && !line.endsWith(':') && !parts[0].endsWith(':')) {
            current = parts.size() >= 6 ? QString::fromUtf8(parts[5]) : QStringLiteral("[anonymous]");
        } else if (line.startsWith("Rss:")) {
            byName[current] += parts.value(1).toLongLong();
        }
    }
    QList<std::pair<qint64, QString>> sorted;
    for (const auto &[name, kb] : byName)
        sorted.append({kb, name});
    std::sort(sorted.begin(), sorted.end(), [](auto &a, auto &b) { return a.first > b.first; });
    QStringList out;
    for (const auto &[kb, name] : sorted.mid(0, count))
        out.append(QStringLiteral("%1 %2 MB").arg(QFileInfo(name).fileName().isEmpty() ? name : QFileInfo(name).fileName(),
                                                  fmt(double(kb) / 1024.0)));
    return out;
}

struct Idle
{
    qint64 rssKb = -1;
    qint64 anonKb = -1; // the private part of it (heap, stacks, anonymous maps)
    double wakeupsPerSecond = std::nan("");
    QStringList busiest; // "thread-name: n/s"
    QStringList mappings; // the largest resident mappings
    int threads = 0;
};

Idle measureIdle(qint64 pid, int seconds)
{
    Idle idle;
    const auto before = switchesByThread(pid);
    const qint64 t0 = nowUs();
    sleepMs(seconds * 1000);
    const auto after = switchesByThread(pid);
    const double elapsed = double(nowUs() - t0) / 1e6;
    qint64 total = 0;
    QList<std::pair<qint64, QString>> perThread;
    for (const auto &[tid, entry] : after) {
        const auto it = before.find(tid);
        const qint64 delta = entry.second - (it == before.end() ? 0 : it->second.second);
        total += delta;
        if (delta > 0)
            perThread.append({delta, QStringLiteral("%1(%2)").arg(entry.first).arg(tid)});
    }
    std::sort(perThread.begin(), perThread.end(), [](auto &a, auto &b) { return a.first > b.first; });
    for (const auto &[n, name] : perThread)
        idle.busiest.append(QStringLiteral("%1: %2/s").arg(name, fmt(double(n) / elapsed, 2)));
    idle.wakeupsPerSecond = double(total) / elapsed;
    idle.rssKb = statusKb(pid, "VmRSS");
    idle.anonKb = statusKb(pid, "RssAnon");
    idle.mappings = largestMappings(pid, 8);
    idle.threads = int(after.size());
    return idle;
}

// ---- the marks ----

struct AppMarks
{
    QList<std::pair<QString, qint64>> marks;
    void clear() { marks.clear(); }
    // The first mark of `stage` at or after `since`.
    std::optional<qint64> find(const QString &stage, qint64 since = 0) const
    {
        for (const auto &[s, t] : marks) {
            if (s == stage && t >= since)
                return t;
        }
        return std::nullopt;
    }
};

struct ServerRequest
{
    QString method, path;
    int status = 0;
    int sequence = 0; // requests on its connection so far, this one included
    qint64 connected = 0, firstByte = 0, received = 0, answered = 0;
};

struct ServerMarks
{
    QList<ServerRequest> requests;
    std::optional<ServerRequest> upload(qint64 since) const
    {
        for (const ServerRequest &r : requests) {
            if (r.path == QLatin1String("/v1/audio/transcriptions") && r.firstByte >= since)
                return r;
        }
        return std::nullopt;
    }
};

// ---- one side's results ----

struct Results
{
    Series pressToFrame, stopToUpload, answerToPaste;
    // Voxendo's inner steps, for finding where the time goes.
    Series pressToHandler, handlerToFrame, stopToRequested, requestedToUploadStarted,
        uploadStartedToFirstByte, answerToReceived, receivedToClipboard, clipboardToPaste;
    std::optional<double> longStopToUpload;
    double longSeconds = 0;
    std::optional<Idle> idleStart, idleAfter;
    std::optional<Idle> quickReference; // the window stack's own floor, for comparison
    int failures = 0;
};

double ms(qint64 fromUs, qint64 toUs)
{
    return double(toUs - fromUs) / 1000.0;
}

// ---- the setup shared by both sides ----

struct Setup
{
    QString dir;
    QString voxendo, devserver;
    QString url, caFile, openAiKey;
    QString speechWav;
    QProcessEnvironment env;
};

bool makeSpeech(Setup &s)
{
    s.speechWav = s.dir + QStringLiteral("/speech.wav");
    QProcess p;
    p.start(QStringLiteral("espeak-ng"),
            {QStringLiteral("-v"), QStringLiteral("en-us+m3"), QStringLiteral("-s"), QStringLiteral("140"),
             QStringLiteral("-w"), s.speechWav, QStringLiteral("hello world this is a dictation")});
    return p.waitForFinished(20000) && p.exitCode() == 0 && QFileInfo(s.speechWav).size() > 0;
}

// Plays the speech into the virtual microphone's sink and returns when it has been played.
void speak(const Setup &s)
{
    QProcess p;
    p.start(QStringLiteral("paplay"), {QStringLiteral("-d"), qEnvironmentVariable("VOXENDO_TEST_SINK", QStringLiteral("vsink")), s.speechWav});
    p.waitForFinished(20000);
}

// ---- sign-in (run as a child: the session goes to the keyring like the app's own) ----

QCoro::Task<int> signIn(QString email, QString password)
{
    voxendo::AuthManager *auth = voxendo::AuthManager::shared();
    co_await auth->configure();
    if (!auth->isConfigured()) {
        fail(QStringLiteral("the account manager could not fetch the configuration: ") + auth->errorText());
        co_return 1;
    }
    bool ok = co_await auth->signUp(email, password);
    if (!ok)
        ok = co_await auth->signIn(email, password);
    if (!ok || !auth->isAuthenticated()) {
        fail(QStringLiteral("sign-in failed: ") + auth->errorText());
        co_return 1;
    }
    co_return 0;
}

// A plain function, not a lambda: a coroutine lambda's captures die with the temporary.
QCoro::Task<> signInInto(QString email, QString password, int *rc, bool *done)
{
    *rc = co_await signIn(std::move(email), std::move(password));
    *done = true;
}

int runSignIn(const QString &email)
{
    int rc = 1;
    bool done = false;
    auto task = signInInto(email, qEnvironmentVariable("VOXENDO_BENCH_PASSWORD"), &rc, &done);
    waitUntil([&] { return done; }, 60000);
    return done ? rc : 1;
}

// ---- Voxendo ----

class VoxendoSide
{
public:
    VoxendoSide(Setup &setup, benchx11::Keyboard &keys, bool verbose)
        : m_setup(setup)
        , m_keys(keys)
        , m_verbose(verbose)
    {
    }

    bool start()
    {
        QProcessEnvironment env = m_setup.env;
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("com.voxendo.app.Trace.info=true"));
        env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{category}: %{message}"));
        m_app.process.setProcessEnvironment(env);
        m_app.onStderr = [this](const QString &line) {
            static const QRegularExpression re(QStringLiteral("^com\\.voxendo\\.app\\.Trace: (\\S+) (\\d+)$"));
            const auto m = re.match(line);
            if (m.hasMatch())
                m_marks.marks.append({m.captured(1), m.captured(2).toLongLong()});
            else if (!line.isEmpty()) {
                m_log.append(line);
                if (m_verbose)
                    say(QStringLiteral("  app: ") + line);
            }
        };
        m_app.onStdout = [this](const QString &line) {
            if (line.startsWith(QLatin1String("Hotkey registered")))
                m_hotkey = 1;
            else if (line.startsWith(QLatin1String("Failed to register hotkey")))
                m_hotkey = -1;
            m_log.append(line);
        };
        m_app.start(m_setup.voxendo, {});
        if (m_app.process.state() != QProcess::Running) {
            fail(QStringLiteral("cannot start %1").arg(m_setup.voxendo));
            return false;
        }
        if (!waitUntil([this] { return m_hotkey != 0 || m_app.process.state() == QProcess::NotRunning; }, 30000)
            || m_hotkey != 1) {
            fail(QStringLiteral("voxendo did not register its shortcut. Its output:\n") + m_log.join(u'\n'));
            return false;
        }
        return true;
    }

    qint64 pid() const { return m_app.process.processId(); }
    void stop() { m_app.stop(); }

    // Start-up has opened the settings window: close it as a user would, then settle.
    void closeWindow()
    {
        waitUntil([this] { return m_keys.visibleWindowsOf(pid()) > 0; }, 3000);
        m_keys.closeWindowsOf(pid());
        waitUntil([this] { return m_keys.visibleWindowsOf(pid()) == 0; }, 3000);
    }

    // One dictation: press, wait for the first frame, speak (or wait), press, wait for the paste.
    bool take(Results &r, const ServerMarks &server, int recordMs, bool isLong)
    {
        m_marks.clear();
        const qint64 press = m_keys.pressChord("Alt_L", "space");
        if (!waitUntil([this] { return m_marks.find(QStringLiteral("first-frame")).has_value(); }, 5000)) {
            fail(QStringLiteral("no first frame after the shortcut (is the account signed in and the "
                                "recorder wired?). Recent output:\n") + m_log.mid(std::max<qsizetype>(0, m_log.size() - 10)).join(u'\n'));
            return false;
        }
        const qint64 handler = m_marks.find(QStringLiteral("hotkey-press")).value_or(press);
        const qint64 frame = *m_marks.find(QStringLiteral("first-frame"));
        speak(m_setup);
        if (recordMs > 0)
            sleepMs(recordMs);
        const qint64 stop = m_keys.pressChord("Alt_L", "space");
        const bool pasted = waitUntil([&] {
            return m_marks.find(QStringLiteral("paste-chord"), stop).has_value()
                && server.upload(stop).has_value();
        }, isLong ? 180000 : 60000);
        const auto upload = server.upload(stop);
        if (!pasted || !upload) {
            fail(QStringLiteral("the dictation did not end in a paste (an empty transcript, or an "
                                "error). Recent output:\n") + m_log.mid(std::max<qsizetype>(0, m_log.size() - 10)).join(u'\n'));
            sleepMs(1500);
            return false;
        }
        const qint64 paste = *m_marks.find(QStringLiteral("paste-chord"), stop);
        if (isLong) {
            r.longStopToUpload = ms(stop, upload->firstByte);
            r.longSeconds = double(*m_marks.find(QStringLiteral("stop-requested"), stop) - frame) / 1e6;
        } else {
            r.pressToFrame.add(ms(press, frame));
            r.stopToUpload.add(ms(stop, upload->firstByte));
            r.answerToPaste.add(ms(upload->answered, paste));
            r.pressToHandler.add(ms(press, handler));
            r.handlerToFrame.add(ms(handler, frame));
            const qint64 requested = m_marks.find(QStringLiteral("stop-requested"), stop).value_or(stop);
            const qint64 started = m_marks.find(QStringLiteral("upload-started"), stop).value_or(requested);
            const qint64 received = m_marks.find(QStringLiteral("answer-received"), stop).value_or(upload->answered);
            const qint64 clipboard = m_marks.find(QStringLiteral("clipboard-set"), stop).value_or(received);
            r.stopToRequested.add(ms(stop, requested));
            r.requestedToUploadStarted.add(ms(requested, started));
            r.uploadStartedToFirstByte.add(ms(started, upload->firstByte));
            r.answerToReceived.add(ms(upload->answered, received));
            r.receivedToClipboard.add(ms(received, clipboard));
            r.clipboardToPaste.add(ms(clipboard, paste));
        }
        if (m_verbose) {
            QStringList line;
            for (const auto &[stage, t] : m_marks.marks)
                line.append(QStringLiteral("%1 %2").arg(stage, fmt(ms(t < stop ? press : stop, t))));
            say(QStringLiteral("  marks (ms after the press, then after the stop): ") + line.join(QStringLiteral(", ")));
            say(QStringLiteral("  server: request %1 on its connection, connected %2, first byte %3, answered %4 after the stop")
                    .arg(QString::number(upload->sequence), fmt(ms(stop, upload->connected)),
                         fmt(ms(stop, upload->firstByte)), fmt(ms(stop, upload->answered))));
        }
        // The injector puts the user's clipboard back after the paste; let it finish.
        sleepMs(1200);
        return true;
    }

private:
    Setup &m_setup;
    benchx11::Keyboard &m_keys;
    LineProcess m_app;
    AppMarks m_marks;
    QStringList m_log;
    int m_hotkey = 0;
    bool m_verbose = false;
};

// ---- the baseline: what a user would script ----

class BaselineSide
{
public:
    explicit BaselineSide(Setup &setup)
        : m_setup(setup)
    {
    }

    static QString startCommand() { return QStringLiteral("parecord --channels=1 --rate=16000 rec.wav"); }
    static QString stopCommand()
    {
        return QStringLiteral("kill -INT <parecord>; ffmpeg -nostdin -loglevel error -y -i rec.wav -c:a aac "
                              "-b:a 32k rec.m4a && curl -sS --cacert ca.crt -H \"Authorization: Bearer $KEY\" "
                              "-F model=whisper-1 -F file=@rec.m4a $URL/v1/audio/transcriptions | jq -r .text "
                              "| xclip -selection clipboard && xdotool key ctrl+v");
    }

    bool take(Results &r, const ServerMarks &server, int recordMs, bool isLong)
    {
        const QString wav = m_setup.dir + QStringLiteral("/rec.wav");
        const QString m4a = m_setup.dir + QStringLiteral("/rec.m4a");
        QFile::remove(wav);
        QFile::remove(m4a);

        // The hot-key daemon would start it through a shell, as here.
        QProcess recorder;
        recorder.setProcessEnvironment(m_setup.env);
        const qint64 press = nowUs();
        recorder.start(QStringLiteral("/bin/sh"),
                       {QStringLiteral("-c"), QStringLiteral("exec parecord --channels=1 --rate=16000 '%1'").arg(wav)});
        // The WAV header is written at once; the first audio makes the file grow past it.
        qint64 headerSize = -1;
        qint64 frame = -1;
        while (nowUs() - press < 5000000) {
            const QFileInfo info(wav);
            const qint64 size = info.exists() ? QFileInfo(wav).size() : -1;
            if (size > 0 && headerSize < 0)
                headerSize = size;
            if (headerSize > 0 && size > headerSize) {
                frame = nowUs();
                break;
            }
            struct timespec pause = {0, 250000};
            nanosleep(&pause, nullptr);
        }
        if (frame < 0) {
            fail(QStringLiteral("parecord wrote no audio"));
            recorder.kill();
            recorder.waitForFinished();
            return false;
        }
        speak(m_setup);
        if (recordMs > 0)
            sleepMs(recordMs);

        const qint64 stop = nowUs();
        ::kill(pid_t(recorder.processId()), SIGINT);
        recorder.waitForFinished(5000);
        QProcess pipeline;
        QProcessEnvironment env = m_setup.env;
        env.insert(QStringLiteral("KEY"), m_setup.openAiKey);
        env.insert(QStringLiteral("URL"), m_setup.url);
        pipeline.setProcessEnvironment(env);
        pipeline.setWorkingDirectory(m_setup.dir);
        pipeline.setStandardOutputFile(m_setup.dir + QStringLiteral("/baseline.out"), QIODevice::Append);
        pipeline.setStandardErrorFile(m_setup.dir + QStringLiteral("/baseline.err"), QIODevice::Append);
        qint64 paste = -1;
        QObject::connect(&pipeline, &QProcess::finished, [&paste] { paste = nowUs(); });
        pipeline.start(QStringLiteral("/bin/sh"),
                       {QStringLiteral("-c"),
                        QStringLiteral("ffmpeg -nostdin -loglevel error -y -i rec.wav -c:a aac -b:a 32k rec.m4a && "
                                       "curl -sS --cacert '%1' -H \"Authorization: Bearer $KEY\" -F model=whisper-1 "
                                       "-F file=@rec.m4a \"$URL/v1/audio/transcriptions\" | jq -r .text | "
                                       "xclip -selection clipboard && xdotool key ctrl+v")
                            .arg(m_setup.caFile)});
        const bool finished = waitUntil([&] { return paste >= 0; }, isLong ? 180000 : 60000);
        const auto upload = server.upload(stop);
        if (!finished || pipeline.exitCode() != 0 || !upload) {
            fail(QStringLiteral("the baseline pipeline failed; see %1/baseline.err").arg(m_setup.dir));
            return false;
        }
        if (isLong) {
            r.longStopToUpload = ms(stop, upload->firstByte);
            r.longSeconds = double(stop - frame) / 1e6;
        } else {
            r.pressToFrame.add(ms(press, frame));
            r.stopToUpload.add(ms(stop, upload->firstByte));
            r.answerToPaste.add(ms(upload->answered, paste));
        }
        sleepMs(500);
        return true;
    }

private:
    Setup &m_setup;
};

// ---- the report ----

QString ratio(double baseline, double voxendo)
{
    if (std::isnan(baseline) || std::isnan(voxendo) || voxendo <= 0)
        return QStringLiteral("n/a");
    return QStringLiteral("%1×").arg(fmt(baseline / voxendo, 1));
}

QString verdict(double value, double target)
{
    if (std::isnan(value))
        return QStringLiteral("n/a");
    return value <= target ? QStringLiteral("met") : QStringLiteral("missed");
}

void printReport(const Results &v, const Results &b, bool haveBaseline, int takes)
{
    say(QString());
    say(QStringLiteral("### One dictation, %1 takes (ms; median / p95)").arg(takes));
    say(QString());
    say(QStringLiteral("| stage | Voxendo median | Voxendo p95 | baseline median | baseline p95 | baseline ÷ Voxendo (median) | target | |"));
    say(QStringLiteral("|---|---:|---:|---:|---:|---:|---|---|"));
    auto row = [&](const QString &name, const Series &vs, const Series &bs, const QString &target, double limit) {
        say(QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 | %7 | %8 |")
                .arg(name, fmt(vs.median()), fmt(vs.p95()),
                     haveBaseline ? fmt(bs.median()) : QStringLiteral("—"),
                     haveBaseline ? fmt(bs.p95()) : QStringLiteral("—"),
                     haveBaseline ? ratio(bs.median(), vs.median()) : QStringLiteral("—"), target,
                     limit > 0 ? verdict(vs.median(), limit) : QString()));
    };
    row(QStringLiteral("shortcut press → first captured frame"), v.pressToFrame, b.pressToFrame, QStringLiteral("≤ 20 ms median"), 20);
    row(QStringLiteral("stop press → first upload byte at the server"), v.stopToUpload, b.stopToUpload, QStringLiteral("≤ 30 ms"), 30);
    row(QStringLiteral("server answer → paste chord posted"), v.answerToPaste, b.answerToPaste, QString(), 0);
    if (v.longStopToUpload || b.longStopToUpload) {
        say(QStringLiteral("| stop press → first upload byte, one %1 s take | %2 | | %3 | | %4 | ≤ 30 ms | %5 |")
                .arg(fmt(v.longSeconds, 0), v.longStopToUpload ? fmt(*v.longStopToUpload) : QStringLiteral("n/a"),
                     b.longStopToUpload ? fmt(*b.longStopToUpload) : QStringLiteral("—"),
                     (v.longStopToUpload && b.longStopToUpload) ? ratio(*b.longStopToUpload, *v.longStopToUpload) : QStringLiteral("—"),
                     v.longStopToUpload ? verdict(*v.longStopToUpload, 30) : QStringLiteral("n/a")));
    }
    auto idleRows = [&](const char *when, const std::optional<Idle> &idle) {
        if (!idle)
            return;
        const double mb = idle->rssKb > 0 ? double(idle->rssKb) / 1024.0 : std::nan("");
        say(QStringLiteral("| idle RSS, %1 (MB) | %2 | | — | | | ≤ 45 MB | %3 |").arg(QLatin1String(when), fmt(mb), verdict(mb, 45)));
        say(QStringLiteral("| idle wake-ups per second, %1 | %2 | | — | | | 0 | %3 |")
                .arg(QLatin1String(when), fmt(idle->wakeupsPerSecond, 2), verdict(idle->wakeupsPerSecond, 0.0)));
    };
    idleRows("after start-up, window closed", v.idleStart);
    idleRows("after the dictations", v.idleAfter);
    if (v.quickReference) {
        say(QStringLiteral("| reference: idle RSS of a bare Qt Quick Controls window with a tray icon, shown, closed and freed (MB) | %1 | | — | | | | |")
                .arg(fmt(double(v.quickReference->rssKb) / 1024.0)));
    }
    say(QString());

    say(QStringLiteral("### Where Voxendo's time goes (ms; median / p95)"));
    say(QString());
    say(QStringLiteral("| step | median | p95 |"));
    say(QStringLiteral("|---|---:|---:|"));
    auto step = [](const QString &name, const Series &s) {
        say(QStringLiteral("| %1 | %2 | %3 |").arg(name, fmt(s.median()), fmt(s.p95())));
    };
    step(QStringLiteral("key press → shortcut handler"), v.pressToHandler);
    step(QStringLiteral("shortcut handler → first captured frame"), v.handlerToFrame);
    step(QStringLiteral("stop press → stop handled"), v.stopToRequested);
    step(QStringLiteral("stop handled → upload started (file finished, token, request built)"), v.requestedToUploadStarted);
    step(QStringLiteral("upload started → first byte at the server (connection, TLS)"), v.uploadStartedToFirstByte);
    step(QStringLiteral("server answer → answer read by the app"), v.answerToReceived);
    step(QStringLiteral("answer read → clipboard holds the text"), v.receivedToClipboard);
    step(QStringLiteral("clipboard set → paste chord (includes the 0.15 s paste delay)"), v.clipboardToPaste);
    say(QString());
    if (!v.pressToFrame.isEmpty()) {
        // The first show of the pill builds its scene; later presses reuse it.
        say(QStringLiteral("First press after start-up: shortcut → first frame %1 ms (in the figures above).")
                .arg(fmt(v.pressToFrame.values.first())));
    }
    for (const auto &[when, idle] : {std::pair{"after start-up", v.idleStart}, std::pair{"after the dictations", v.idleAfter}}) {
        if (!idle)
            continue;
        if (!idle->busiest.isEmpty())
            say(QStringLiteral("Threads that woke while idle (%1): %2").arg(QLatin1String(when), idle->busiest.join(QStringLiteral(", "))));
        say(QStringLiteral("Resident memory %1: %2 MB, of which %3 MB private (anonymous); %4 threads; largest: %5")
                .arg(QLatin1String(when), fmt(double(idle->rssKb) / 1024.0), fmt(double(idle->anonKb) / 1024.0))
                .arg(idle->threads)
                .arg(idle->mappings.join(QStringLiteral(", "))));
    }
    if (v.failures || b.failures)
        say(QStringLiteral("Failed takes: Voxendo %1, baseline %2").arg(v.failures).arg(b.failures));
}

QString findProgram(const QString &given, const QString &builtRelative, const QString &name)
{
    if (!given.isEmpty())
        return given;
    const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/../") + builtRelative;
    if (QFileInfo(beside).isExecutable())
        return QFileInfo(beside).canonicalFilePath();
    return QStandardPaths::findExecutable(name);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    QCoreApplication::setOrganizationName(QStringLiteral("Voxendo"));
    QCoreApplication::setApplicationName(QStringLiteral("Voxendo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VOXENDO_BENCH_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Latency budget of one dictation; see the top of bench_latency.cpp."));
    parser.addHelpOption();
    const QCommandLineOption takesOpt(QStringLiteral("takes"), QStringLiteral("Dictations per side (default 15)."), QStringLiteral("n"), QStringLiteral("15"));
    const QCommandLineOption longOpt(QStringLiteral("long-seconds"),
        QStringLiteral("Length of the one long take (default 118, just under the 120 s limit; 0 skips it)."),
        QStringLiteral("s"), QStringLiteral("118"));
    const QCommandLineOption idleOpt(QStringLiteral("idle-seconds"), QStringLiteral("Idle window (default 10)."), QStringLiteral("s"), QStringLiteral("10"));
    const QCommandLineOption noBaselineOpt(QStringLiteral("no-baseline"), QStringLiteral("Measure Voxendo only."));
    const QCommandLineOption voxendoOpt(QStringLiteral("voxendo"), QStringLiteral("The voxendo binary (default: the build's)."), QStringLiteral("path"));
    const QCommandLineOption devserverOpt(QStringLiteral("devserver"), QStringLiteral("The voxendo-devserver binary (default: the build's)."), QStringLiteral("path"));
    const QCommandLineOption signInOpt(QStringLiteral("sign-in"), QStringLiteral("Internal: sign EMAIL in through AuthManager and exit."), QStringLiteral("email"));
    const QCommandLineOption verboseOpt(QStringLiteral("verbose"), QStringLiteral("Print every take's marks."));
    parser.addOptions({takesOpt, longOpt, idleOpt, noBaselineOpt, voxendoOpt, devserverOpt, signInOpt, verboseOpt});
    parser.process(app);

    if (parser.isSet(signInOpt))
        return runSignIn(parser.value(signInOpt));

    if (qEnvironmentVariable("VOXENDO_TEST_SESSION") != QLatin1String("1")) {
        fail(QStringLiteral("run inside the headless session: scripts/bench-latency.sh"));
        return 2;
    }
    const int takes = std::max(1, parser.value(takesOpt).toInt());
    const int longSeconds = std::max(0, parser.value(longOpt).toInt());
    const int idleSeconds = std::max(1, parser.value(idleOpt).toInt());
    const bool withBaseline = !parser.isSet(noBaselineOpt);

    QTemporaryDir tmp(QDir::tempPath() + QStringLiteral("/voxendo-bench-XXXXXX"));
    Setup setup;
    setup.dir = tmp.path();
    setup.voxendo = findProgram(parser.value(voxendoOpt), QStringLiteral("bin/voxendo"), QStringLiteral("voxendo"));
    setup.devserver = findProgram(parser.value(devserverOpt), QStringLiteral("src/devserver/voxendo-devserver"),
                                  QStringLiteral("voxendo-devserver"));
    if (setup.voxendo.isEmpty() || setup.devserver.isEmpty()) {
        fail(QStringLiteral("voxendo or voxendo-devserver not found; build first"));
        return 2;
    }
    if (!makeSpeech(setup)) {
        fail(QStringLiteral("espeak-ng could not make the speech sample"));
        return 2;
    }
    benchx11::Keyboard keys;
    if (!keys.isOpen()) {
        fail(keys.error());
        return 2;
    }

    // The server, with its marks on.
    setup.openAiKey = QStringLiteral("sk-bench-%1").arg(QRandomGenerator::global()->generate64(), 0, 16);
    LineProcess server;
    ServerMarks serverMarks;
    server.onStdout = [&](const QString &line) {
        if (setup.url.isEmpty() && line.startsWith(QLatin1String("https://"))) {
            setup.url = line;
            return;
        }
        static const QRegularExpression re(QStringLiteral(
            "^trace (\\S+) (\\S+) (\\d+) request=(\\d+) connected=(\\d+) first-byte=(\\d+) "
            "received=(\\d+) answered=(\\d+)$"));
        const auto m = re.match(line);
        if (m.hasMatch()) {
            serverMarks.requests.append({m.captured(1), m.captured(2), m.captured(3).toInt(),
                                         m.captured(4).toInt(), m.captured(5).toLongLong(),
                                         m.captured(6).toLongLong(), m.captured(7).toLongLong(),
                                         m.captured(8).toLongLong()});
        }
    };
    server.onStderr = [](const QString &) {};
    const QString dataDir = setup.dir + QStringLiteral("/devserver");
    server.start(setup.devserver, {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data-dir"), dataDir,
                                           QStringLiteral("--trace"), QStringLiteral("--openai-key"), setup.openAiKey});
    if (!waitUntil([&] { return !setup.url.isEmpty() || server.process.state() == QProcess::NotRunning; }, 60000)
        || setup.url.isEmpty()) {
        fail(QStringLiteral("voxendo-devserver did not start"));
        return 1;
    }
    setup.caFile = dataDir + QStringLiteral("/ca.crt");
    setup.env = QProcessEnvironment::systemEnvironment();
    setup.env.insert(QStringLiteral("VOXENDO_BACKEND_URL"), setup.url);
    setup.env.insert(QStringLiteral("VOXENDO_OPENAI_API_BASE"), setup.url);
    setup.env.insert(QStringLiteral("VOXENDO_EXTRA_CA_FILE"), setup.caFile);
    say(QStringLiteral("devserver %1; voxendo %2; load before: %3").arg(setup.url, setup.voxendo,
        [] { QFile f(QStringLiteral("/proc/loadavg")); return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).trimmed() : QString(); }()));

    // The account, signed in by the product's own AuthManager in a child process.
    {
        QProcess signInProcess;
        QProcessEnvironment env = setup.env;
        env.insert(QStringLiteral("VOXENDO_BENCH_PASSWORD"),
                   QStringLiteral("bench-%1").arg(QRandomGenerator::global()->generate64(), 0, 16));
        signInProcess.setProcessEnvironment(env);
        signInProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        signInProcess.setStandardOutputFile(QProcess::nullDevice());
        signInProcess.start(QCoreApplication::applicationFilePath(),
                            {QStringLiteral("--sign-in"), QStringLiteral("bench@example.com")});
        // Waited in the event loop: the server runs in this process's children and needs none,
        // but its output is read here.
        waitUntil([&] { return signInProcess.state() == QProcess::NotRunning; }, 90000);
        if (signInProcess.exitStatus() != QProcess::NormalExit || signInProcess.exitCode() != 0) {
            fail(QStringLiteral("could not sign the benchmark account in"));
            return 1;
        }
    }

    Results voxendo, baseline;
    {
        VoxendoSide side(setup, keys, parser.isSet(verboseOpt));
        if (!side.start())
            return 1;
        side.closeWindow();
        sleepMs(2000); // start-up work (configuration, session restore) settles
        say(QStringLiteral("measuring idle after start-up (%1 s)...").arg(idleSeconds));
        voxendo.idleStart = measureIdle(side.pid(), idleSeconds);
        for (int i = 0; i < takes; ++i) {
            say(QStringLiteral("Voxendo take %1/%2").arg(i + 1).arg(takes));
            if (!side.take(voxendo, serverMarks, 0, false)) {
                if (++voxendo.failures > takes / 3 + 1) {
                    fail(QStringLiteral("too many failed takes"));
                    return 1;
                }
            }
        }
        if (longSeconds > 0) {
            say(QStringLiteral("Voxendo long take (%1 s)").arg(longSeconds));
            side.take(voxendo, serverMarks, longSeconds * 1000 - 2500, true);
        }
        side.closeWindow();
        // Idle as it is between dictations: the encoder module goes once none has been under way
        // for a while.
        sleepMs(int(voxendo::RecordingEncoder::defaultUnloadDelay.count()) + 3000);
        say(QStringLiteral("measuring idle after the dictations (%1 s)...").arg(idleSeconds));
        voxendo.idleAfter = measureIdle(side.pid(), idleSeconds);
        side.stop();
    }

    {
        // The same idle measurement of the bare window stack, in the same session.
        QProcess reference;
        reference.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        reference.start(QCoreApplication::applicationDirPath() + QStringLiteral("/bench_qtquick_reference"), {});
        if (waitUntil([&] { return reference.canReadLine() || reference.state() == QProcess::NotRunning; }, 30000)
            && reference.readLine().trimmed() == "ready") {
            sleepMs(2000);
            say(QStringLiteral("measuring the Qt Quick reference (%1 s)...").arg(idleSeconds));
            voxendo.quickReference = measureIdle(reference.processId(), idleSeconds);
        } else {
            say(QStringLiteral("the Qt Quick reference did not start; its row is left out"));
        }
        reference.kill();
        reference.waitForFinished(5000);
    }

    if (withBaseline) {
        BaselineSide side(setup);
        for (int i = 0; i < takes; ++i) {
            say(QStringLiteral("baseline take %1/%2").arg(i + 1).arg(takes));
            if (!side.take(baseline, serverMarks, 0, false))
                ++baseline.failures;
        }
        if (longSeconds > 0) {
            say(QStringLiteral("baseline long take (%1 s)").arg(longSeconds));
            side.take(baseline, serverMarks, longSeconds * 1000 - 2500, true);
        }
    }
    server.stop();

    printReport(voxendo, baseline, withBaseline, takes);
    say(QString());
    say(QStringLiteral("Baseline: at the press `%1`; at the stop `%2`.").arg(BaselineSide::startCommand(), BaselineSide::stopCommand()));
    say(QStringLiteral("Load after: %1 (2 cores shared with other work: figures are noisy).")
            .arg([] { QFile f(QStringLiteral("/proc/loadavg")); return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).trimmed() : QString(); }()));
    return 0;
}
