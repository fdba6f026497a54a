#include "audio/audiorecorder.h"

#include "audio/aacencodermodule.h"
#include "audio/recordingencoder.h"
#include "common/console.h"
#include "common/logging.h"
#include "common/trace.h"
#include "platform/audioinput.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSource>
#include <QDir>
#include <QFileInfo>
#include <QUuid>

using namespace std::chrono_literals;

namespace voxendo {
namespace {

constexpr int kSampleRate = 16000;

// 10 ms of audio per read: the first samples arrive about one buffer after the start, so a
// small buffer keeps the beginning of the first word. The extra wake-ups (100 per second,
// only while recording) cost next to nothing.
constexpr int kCaptureBufferBytes = kSampleRate * 2 / 100;

QAudioFormat captureFormat()
{
    QAudioFormat format;
    format.setSampleRate(kSampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    return format;
}

QString describeError(QAudio::Error error, const QAudioDevice &device)
{
    const QString name = device.description().isEmpty() ? QString::fromUtf8(device.id())
                                                         : device.description();
    switch (error) {
    case QAudio::OpenError:
        return QStringLiteral("Could not open the audio input \"%1\"").arg(name);
    case QAudio::IOError:
        return QStringLiteral("Could not read from the audio input \"%1\"").arg(name);
    case QAudio::FatalError:
        return QStringLiteral("The audio input \"%1\" failed").arg(name);
    default:
        return QStringLiteral("The audio input \"%1\" did not start").arg(name);
    }
}

void printStartFailure(const QString &reason)
{
    Console::printLine(QStringLiteral("Failed to start recording: ") + reason);
}

} // namespace

struct AudioRecorder::Capture
{
    // The encoder is started once audio flows: opening it loads the encoder module unless it is
    // loaded already, tens of milliseconds of work that would otherwise compete with starting
    // the microphone and delay the first captured frame. Until then the session is 0 and the
    // file waits here.
    quint64 session = 0;
    RecordingFile file;
    QString path;
    QAudioDevice device;
    QAudioSource *source = nullptr; // child of the recorder; released with deleteLater()
    QIODevice *io = nullptr;        // owned by source
    QTimer *watchdog = nullptr;     // child of the recorder
    QElapsedTimer sinceAudio;       // since the start or the last audio
    bool sawAudio = false;
};

AudioRecorder &AudioRecorder::shared()
{
    static AudioRecorder *instance = new AudioRecorder(platform::createAudioInputProvider(),
                                                       defaultDirectory(), kTimeLimit);
    return *instance;
}

QString AudioRecorder::defaultDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
        return runtime;
    // Shared with other users, but each file is created exclusively with mode 0600.
    return QDir::tempPath();
}

AudioRecorder::AudioRecorder(std::unique_ptr<platform::AudioInputProvider> inputs,
                             QString directory, std::chrono::milliseconds timeLimit,
                             std::chrono::milliseconds stallTimeout, QObject *parent)
    : QObject(parent)
    , m_inputs(std::move(inputs))
    , m_directory(std::move(directory))
    , m_timeLimit(timeLimit)
    , m_stallTimeout(stallTimeout)
    , m_encoder(new RecordingEncoder(this))
{
    // The encoder module is looked up from the encoder thread; its directories are worked out
    // here, on the recorder's (main) thread, where the application's path may be asked for.
    AacEncoderModule::shared();
    connect(m_encoder, &RecordingEncoder::failed, this, &AudioRecorder::onEncoderFailed);
    connect(m_encoder, &RecordingEncoder::finished, this,
            [this](quint64 session, const platform::Status &status) {
                onEncoderFinished(session, status.ok(), status.message);
            });
}

AudioRecorder::~AudioRecorder()
{
    if (m_active) {
        endCapture(*m_active, false);
        abandonEncoding(*m_active);
    }
}

quint64 AudioRecorder::encoderSession(Capture &capture)
{
    if (capture.session == 0)
        capture.session = m_encoder->begin(std::move(capture.file));
    return capture.session;
}

void AudioRecorder::abandonEncoding(Capture &capture)
{
    if (capture.session != 0)
        m_encoder->abandon(capture.session);
    else
        capture.file.discard(); // no audio was ever written to it
}

void AudioRecorder::requestMicrophoneAccess()
{
    const auto input = m_inputs->defaultInput();
    if (!input.ok()) {
        qCWarning(lcAudio) << "No microphone:" << input.status.message;
        Console::printLine(QStringLiteral("Microphone permission denied"));
    }
}

void AudioRecorder::startRecording()
{
    const QString path = QDir(m_directory).filePath(
        QStringLiteral("voxendo_") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()
        + QStringLiteral(".m4a"));
    m_recordingUrl = QUrl::fromLocalFile(path);

    const auto input = m_inputs->defaultInput();
    if (!input.ok())
        return printStartFailure(input.status.message);
    const QAudioDevice &device = *input.value;
    const QAudioFormat format = captureFormat();
    if (!device.isFormatSupported(format)) {
        return printStartFailure(
            QStringLiteral("The audio input \"%1\" cannot record 16 kHz mono 16-bit audio")
                .arg(device.description()));
    }

    // Only the file is made here; the encoder opens on the encoder thread.
    auto file = RecordingFile::create(path);
    if (!file.ok())
        return printStartFailure(file.status.message);

    auto capture = std::make_unique<Capture>();
    capture->path = path;
    capture->device = device;
    capture->source = new QAudioSource(device, format, this);
    capture->source->setBufferSize(kCaptureBufferBytes);
    capture->io = capture->source->start();
    if (!capture->io || capture->source->error() != QAudio::NoError) {
        const QString reason = describeError(capture->source->error(), device);
        endCapture(*capture, false);
        file.value->discard(); // nobody will be given this name
        return printStartFailure(reason);
    }
    qCInfo(lcAudio) << "Recording from" << device.description() << device.id();

    if (m_active) {
        // Not done by the dictation controller; the earlier file is completed but nobody is
        // waiting for it.
        qCWarning(lcAudio) << "A recording was started while another was under way";
        endCapture(*m_active, true);
        m_encoder->finish(encoderSession(*m_active));
        m_active.reset();
    }

    capture->file = std::move(*file.value);
    connect(capture->io, &QIODevice::readyRead, this, &AudioRecorder::onAudioReady);
    connect(capture->source, &QAudioSource::stateChanged, this,
            &AudioRecorder::onSourceStateChanged);
    capture->watchdog = new QTimer(this);
    capture->watchdog->setInterval(std::max<std::chrono::milliseconds>(m_stallTimeout / 4, 10ms));
    connect(capture->watchdog, &QTimer::timeout, this, &AudioRecorder::checkForStall);
    capture->watchdog->start();
    capture->sinceAudio.start();
    m_active = std::move(capture);
    m_recordingStartTime.start();
    armTimeLimit();
}

void AudioRecorder::stopRecording(Completion completion)
{
    if (m_recordingTimer) {
        // Possibly called from the timer's own timeout (through the hook): never delete it here.
        m_recordingTimer->stop();
        m_recordingTimer->deleteLater();
        m_recordingTimer = nullptr;
    }

    if (!m_active) {
        if (completion)
            completion(std::nullopt);
        return;
    }

    m_lastRecordingDuration =
        m_recordingStartTime.isValid() ? double(m_recordingStartTime.nsecsElapsed()) / 1e9 : 0.0;
    m_recordingStartTime.invalidate();

    std::unique_ptr<Capture> capture = std::move(m_active);
    endCapture(*capture, true);
    // Each stop keeps its own completion and file, so an answer can never reach the caller of
    // a different recording.
    const quint64 session = encoderSession(*capture);
    m_stopping[session] = Stopping{capture->path, std::move(completion)};
    m_encoder->finish(session);
}

void AudioRecorder::armTimeLimit()
{
    if (m_recordingTimer) {
        m_recordingTimer->stop();
        m_recordingTimer->deleteLater();
    }
    auto *timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer); // a coarse timer may be 5 % (6 s) off at 120 s
    connect(timer, &QTimer::timeout, this, [this] {
        const double seconds = double(m_timeLimit.count()) / 1000.0;
        Console::printLine(QStringLiteral("[Voxendo] Recording timeout reached (%1s), stopping automatically")
                               .arg(QString::number(seconds, 'f', 1)));
        if (m_onRecordingTimeout)
            m_onRecordingTimeout();
    });
    timer->start(m_timeLimit);
    m_recordingTimer = timer;
}

void AudioRecorder::onAudioReady()
{
    if (m_active && sender() == m_active->io)
        pullAudio();
}

bool AudioRecorder::pullAudio()
{
    const QByteArray pcm = m_active->io->readAll();
    if (pcm.isEmpty())
        return false;
    m_active->sinceAudio.start();
    m_encoder->append(encoderSession(*m_active), pcm);
    if (!m_active->sawAudio) {
        m_active->sawAudio = true;
        trace("first-frame");
        Q_EMIT captureStarted(); // last: a receiver may stop the recording
    }
    return true;
}

void AudioRecorder::checkForStall()
{
    if (!m_active || m_active->sinceAudio.elapsed() < m_stallTimeout.count())
        return;
    // The main thread may merely have been busy: audio waiting to be read is no stall.
    if (pullAudio())
        return;
    failCapture(QStringLiteral("no audio from \"%1\" for %2 ms")
                    .arg(m_active->device.description())
                    .arg(m_active->sinceAudio.elapsed()));
}

void AudioRecorder::failCapture(const QString &reason)
{
    qCWarning(lcAudio) << "The audio input stopped:" << reason;
    Console::printLine(QStringLiteral("Recording finished unsuccessfully"));
    std::unique_ptr<Capture> capture = std::move(m_active);
    endCapture(*capture, false);
    abandonEncoding(*capture);
}

void AudioRecorder::onSourceStateChanged()
{
    if (!m_active || sender() != m_active->source)
        return;
    const QAudio::Error error = m_active->source->error();
    // An input never underruns in a way that loses audio; anything else ends the capture.
    if (error == QAudio::NoError || error == QAudio::UnderrunError)
        return;
    failCapture(describeError(error, m_active->device));
}

void AudioRecorder::onEncoderFailed(quint64 session, const QString &reason)
{
    if (m_active && m_active->session == session) {
        // Before any stop: the recording is over, and the next stop answers none at once.
        Console::printLine(QStringLiteral("Recording encode error: ") + reason);
        std::unique_ptr<Capture> capture = std::move(m_active);
        endCapture(*capture, false);
        return;
    }
    const auto it = m_stopping.find(session);
    if (it == m_stopping.end())
        return; // a recording nobody waits for any more
    Console::printLine(QStringLiteral("Recording encode error: ") + reason);
    Completion completion = std::move(it->second.completion);
    m_stopping.erase(it);
    if (completion)
        completion(std::nullopt);
}

void AudioRecorder::onEncoderFinished(quint64 session, bool ok, const QString &reason)
{
    const auto it = m_stopping.find(session);
    if (it == m_stopping.end())
        return;
    Stopping stopping = std::move(it->second);
    m_stopping.erase(it);
    if (!ok)
        Console::printLine(QStringLiteral("Recording encode error: ") + reason);
    if (stopping.completion)
        stopping.completion(ok ? std::optional<QUrl>(QUrl::fromLocalFile(stopping.path)) : std::nullopt);
}

void AudioRecorder::endCapture(Capture &capture, bool keepTail)
{
    if (!capture.source)
        return;
    if (keepTail && capture.io) {
        // What the server delivered since the last read: the end of the last word.
        const QByteArray tail = capture.io->readAll();
        if (!tail.isEmpty())
            m_encoder->append(encoderSession(capture), tail);
    }
    capture.source->disconnect(this);
    if (capture.io)
        capture.io->disconnect(this);
    if (capture.watchdog) {
        capture.watchdog->stop();
        capture.watchdog->deleteLater(); // may be inside its own timeout
        capture.watchdog = nullptr;
    }
    capture.source->stop();
    capture.source->deleteLater(); // may be inside one of its own signals
    capture.source = nullptr;
    capture.io = nullptr;
}

} // namespace voxendo
