#pragma once

#include "platform/status.h"

#include <QString>
#include <QtGlobal>
#include <memory>
#include <span>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;

namespace voxendo {

// Streams 16-bit mono PCM into an MPEG-4 audio file (.m4a) with FFmpeg's native AAC-LC encoder.
// Samples are encoded as they arrive, so finishing only costs the last partial frame and the
// index. Not thread-safe: one thread at a time, which may change between calls.
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

    // Creates the file exclusively (never reuses or follows an existing path) with mode 0600,
    // since it holds the user's voice, and writes the container header.
    static platform::Result<std::unique_ptr<AacFileWriter>> create(const QString &path,
                                                                    const Settings &settings);
    static platform::Result<std::unique_ptr<AacFileWriter>> create(const QString &path)
    {
        return create(path, Settings{});
    }
    ~AacFileWriter(); // closes without finishing: the file is left incomplete

    // Encodes whole 1024-sample frames as soon as they are complete and keeps the rest.
    // A failure is final: later calls answer the same failure.
    platform::Status write(std::span<const qint16> samples);

    // Encodes what is left, writes the index and closes the file. Fails when anything could
    // not be written or the file no longer exists at its path (its directory was removed or
    // the file replaced), because the caller would otherwise be handed a path without audio.
    platform::Status finish();

    // Closes and deletes the file: for a recording that never got under way, whose name
    // nobody else has seen. A finished file is left alone.
    void discard();

    QString path() const { return m_path; }
    qint64 samplesWritten() const { return m_samplesIn; }

private:
    AacFileWriter() = default;
    Q_DISABLE_COPY(AacFileWriter)

    platform::Status encodeFrame(int samples);
    platform::Status drain(bool flush);
    platform::Status fail(const QString &what, int averror);
    void close();

    QString m_path;
    int m_fd = -1;
    AVFormatContext *m_format = nullptr;
    AVIOContext *m_io = nullptr;
    AVCodecContext *m_codec = nullptr;
    AVFrame *m_frame = nullptr;
    AVPacket *m_packet = nullptr;
    int m_pending = 0; // samples waiting in m_frame
    qint64 m_samplesIn = 0;
    qint64 m_nextPts = 0;
    platform::Status m_failure;
    bool m_finished = false;
};

} // namespace voxendo
