#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QIODevice;

namespace voxendo {

namespace platform {
class AudioInputProvider;
}
class RecordingEncoder;

// Records the microphone into "voxendo_<UUID>.m4a" (AAC-LC, 16 kHz, mono), one file per
// dictation, and enforces the time limit of a recording. Audio is encoded on a worker thread
// while it is captured, so a stop only waits for the last frame and the file's index.
//
// Main thread only: every method, the completion of stopRecording and the time-limit hook
// run there. Failures are reported as standard-output lines; the caller learns of them only
// through a completion without a file.
class AudioRecorder : public QObject
{
    Q_OBJECT
public:
    using Completion = std::function<void(std::optional<QUrl>)>;

    static constexpr std::chrono::milliseconds kTimeLimit{120'000};

    // The production instance: the desktop's default microphone, recordings in
    // defaultDirectory(), the 120-second limit. Created on first use (on the main thread);
    // never destroyed.
    static AudioRecorder &shared();

    // Where recordings are created: $XDG_RUNTIME_DIR (private to the user) when it is set,
    // else the temporary directory. Recordings are the user's voice.
    static QString defaultDirectory();

    // A live input delivers audio every few milliseconds, even silence. Qt does not report a
    // capture stream that the sound server dropped (its device vanished), so a recording that
    // gets no audio for this long has failed.
    static constexpr std::chrono::milliseconds kStallTimeout{2000};

    AudioRecorder(std::unique_ptr<platform::AudioInputProvider> inputs, QString directory,
                  std::chrono::milliseconds timeLimit,
                  std::chrono::milliseconds stallTimeout = kStallTimeout, QObject *parent = nullptr);
    ~AudioRecorder() override;

    // Prints "Microphone permission denied" when no usable input device exists. Linux has no
    // permission prompt; a later start is attempted anyway.
    void requestMicrophoneAccess();

    // Starts a new recording into a new file and arms the time limit. A failure only prints
    // "Failed to start recording: <reason>"; the next stopRecording then answers none at once.
    void startRecording();

    // Calls `completion` exactly once, on the main thread: with the file after a recording
    // that finished well, otherwise with none. With no recording under way it is called before
    // this returns; otherwise later, from the event loop, once the file is complete (a few
    // milliseconds). Not called at all if the recorder is destroyed first.
    void stopRecording(Completion completion);

    // Seconds between the start and the stop of the recording most recently stopped.
    double lastRecordingDuration() const { return m_lastRecordingDuration; }

    // Called on the main thread when a recording reaches the time limit. The recorder keeps
    // recording: the owner is expected to call stopRecording.
    void setOnRecordingTimeout(std::function<void()> hook) { m_onRecordingTimeout = std::move(hook); }

    bool isRecording() const { return m_active != nullptr; }
    // The file of the current or last recording started; empty before the first start.
    QUrl recordingUrl() const { return m_recordingUrl; }
    std::chrono::milliseconds timeLimit() const { return m_timeLimit; }

Q_SIGNALS:
    // The first audio of the current recording has been captured (the microphone is live).
    void captureStarted();

private:
    struct Capture;

    void onAudioReady();
    bool pullAudio();
    void onSourceStateChanged();
    void checkForStall();
    void failCapture(const QString &reason);
    void onEncoderFailed(quint64 session, const QString &reason);
    void onEncoderFinished(quint64 session, bool ok, const QString &reason);
    void armTimeLimit();
    void endCapture(Capture &capture, bool keepTail);
    quint64 encoderSession(Capture &capture); // starts the encoder on first use
    void abandonEncoding(Capture &capture);

    std::unique_ptr<platform::AudioInputProvider> m_inputs;
    QString m_directory;
    std::chrono::milliseconds m_timeLimit;
    std::chrono::milliseconds m_stallTimeout;
    RecordingEncoder *m_encoder = nullptr;

    std::unique_ptr<Capture> m_active;   // the recording under way
    struct Stopping
    {
        QString path;
        Completion completion;
    };
    std::map<quint64, Stopping> m_stopping; // stopped recordings waiting for their file

    QUrl m_recordingUrl;
    QPointer<QTimer> m_recordingTimer;
    QElapsedTimer m_recordingStartTime;
    double m_lastRecordingDuration = 0;
    std::function<void()> m_onRecordingTimeout;
};

} // namespace voxendo
