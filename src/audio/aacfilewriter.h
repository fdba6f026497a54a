#pragma once

#include "audio/recordingfile.h"
#include "platform/status.h"

#include <QString>
#include <QtGlobal>
#include <memory>
#include <span>

namespace voxendo {

// Streams 16-bit mono PCM into an MPEG-4 audio file (.m4a) as AAC-LC. Samples are encoded as
// they arrive, so finishing only costs the last partial frame and the index. Not thread-safe:
// one thread at a time, which may change between calls.
//
// The encoder itself (FFmpeg, which brings some eighty libraries with it) lives in a module
// that is loaded when a recording needs it and unloaded between dictations, so a Voxendo that
// waits in the tray does not carry it; see AacEncoderModule and RecordingEncoder.
class AacFileWriter
{
public:
    struct Settings
    {
        int sampleRate = 16000;
        // 16 kHz mono speech stays clear for a recogniser well below FFmpeg's default of about
        // 75 kbit/s. Its encoder overshoots the asked rate on speech by a quarter (32 kbit/s
        // gives 4.8 KB per second), so 26 kbit/s is asked for: about 4.2 KB per second, 500 KB
        // for a 120 s take, which keeps the upload short. (Its "fast" coder is cheaper but
        // ignores the rate on bursty sounds, up to 7 KB per second.)
        int bitRate = 26000;
    };

    // Creates the file (see RecordingFile) and opens the encoder on it.
    static platform::Result<std::unique_ptr<AacFileWriter>> create(const QString &path,
                                                                    const Settings &settings);
    static platform::Result<std::unique_ptr<AacFileWriter>> create(const QString &path)
    {
        return create(path, Settings{});
    }
    // Opens the encoder on a file created beforehand, loading the encoder module if needed,
    // which takes tens of milliseconds. On failure the file is discarded.
    static platform::Result<std::unique_ptr<AacFileWriter>> open(RecordingFile file,
                                                                  const Settings &settings);

    virtual ~AacFileWriter() = default; // closes without finishing: the file is left incomplete

    // Encodes whole 1024-sample frames as soon as they are complete and keeps the rest.
    // A failure is final: later calls answer the same failure.
    virtual platform::Status write(std::span<const qint16> samples) = 0;

    // Encodes what is left, writes the index and closes the file. Fails when anything could
    // not be written or the file no longer exists at its path (its directory was removed or
    // the file replaced), because the caller would otherwise be handed a path without audio.
    virtual platform::Status finish() = 0;

    // Closes and deletes the file: for a recording that never got under way, whose name
    // nobody else has seen. A finished file is left alone.
    virtual void discard() = 0;

    virtual QString path() const = 0;
    virtual qint64 samplesWritten() const = 0;

protected:
    AacFileWriter() = default;
    Q_DISABLE_COPY(AacFileWriter)
};

} // namespace voxendo
