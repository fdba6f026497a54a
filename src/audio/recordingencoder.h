#pragma once

#include "audio/aacfilewriter.h"
#include "platform/status.h"

#include <QByteArray>
#include <QObject>
#include <QThread>
#include <chrono>
#include <memory>

namespace voxendo {

class RecordingEncoderWorker;

// Runs the AAC encoding of recordings on one worker thread, so the main thread only hands over
// captured buffers. Called on the thread that owns it (the main thread); its signals arrive there
// too, in the order the worker produced them.
class RecordingEncoder : public QObject
{
    Q_OBJECT
public:
    // The encoder module is unloaded once no recording has been under way for `unloadDelay`:
    // dictations come in bursts, and loading it again costs a few tens of milliseconds of the
    // encoder thread, while audio is already being captured.
    static constexpr std::chrono::milliseconds defaultUnloadDelay{20000};
    explicit RecordingEncoder(QObject *parent = nullptr,
                              std::chrono::milliseconds unloadDelay = defaultUnloadDelay);
    // Stops the worker; files still open are closed without their index (left unreadable).
    ~RecordingEncoder() override;

    // Hands an open writer to the worker; the answer is the session's id (never 0).
    quint64 begin(std::unique_ptr<AacFileWriter> writer);
    // Opens the encoder on `file` on the worker, where loading the encoder module costs the
    // main thread nothing; a failure to open is answered by failed().
    quint64 begin(RecordingFile file, const AacFileWriter::Settings &settings = {});
    // 16-bit native-endian mono samples, in capture order; may split a sample across calls.
    void append(quint64 session, const QByteArray &pcm);
    // Encodes the rest and closes the file; answered by finished() unless failed() came first.
    void finish(quint64 session);
    // Closes the file as it is, without an answer.
    void abandon(quint64 session);

Q_SIGNALS:
    // A write or encoding error ended the session before its finish was handled; nothing else
    // follows for that session.
    void failed(quint64 session, const QString &reason);
    // The answer to finish(): success, or why the file could not be completed.
    void finished(quint64 session, const voxendo::platform::Status &status);

private:
    QThread m_thread;
    RecordingEncoderWorker *m_worker = nullptr;
    quint64 m_nextSession = 1;
};

} // namespace voxendo
