#pragma once

#include "audio/aacfilewriter.h"

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;

namespace voxendo {

// AacFileWriter on FFmpeg's native AAC-LC encoder and its "ipod" (.m4a) muxer, writing
// through the descriptor it is given.
class FfmpegAacFileWriter final : public AacFileWriter
{
public:
    // Takes ownership of fd, created for `path`; on failure the file is deleted.
    static platform::Result<std::unique_ptr<AacFileWriter>> open(int fd, const QString &path,
                                                                  const Settings &settings);
    ~FfmpegAacFileWriter() override;

    platform::Status write(std::span<const qint16> samples) override;
    platform::Status finish() override;
    void discard() override;
    QString path() const override { return m_path; }
    qint64 samplesWritten() const override { return m_samplesIn; }

private:
    FfmpegAacFileWriter() = default;

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
