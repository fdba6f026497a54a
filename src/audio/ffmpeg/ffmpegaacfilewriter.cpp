#include "audio/ffmpeg/ffmpegaacfilewriter.h"

#include "audio/aacencodermodule.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <QLoggingCategory>

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voxendo {
namespace {

// The module does not link the core library; the same category name keeps its messages with
// the recorder's.
Q_LOGGING_CATEGORY(lcAudio, "com.voxendo.app.Audio", QtWarningMsg)

using platform::Result;
using platform::Status;

// Small enough that a failing disk shows within about a second of audio.
constexpr int kIoBufferSize = 4096;

QString averrorText(int err)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return QString::fromLocal8Bit(buf);
}

// FFmpeg prints to stderr by default, including chatter at the end of every file. Its problems
// belong with the recorder's other diagnostics.
void forwardFfmpegLog(void *avcl, int level, const char *fmt, va_list args)
{
    if (level > AV_LOG_ERROR)
        return;
    char line[1024];
    int printPrefix = 1;
    av_log_format_line2(avcl, level, fmt, args, line, sizeof line, &printPrefix);
    qCWarning(lcAudio).noquote() << QString::fromUtf8(line).trimmed();
}

int writeToFd(void *opaque, uint8_t *data, int size)
{
    const int fd = *static_cast<int *>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size_t(size - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return AVERROR(errno);
        }
        done += int(n);
    }
    return size;
}

int64_t seekFd(void *opaque, int64_t offset, int whence)
{
    const int fd = *static_cast<int *>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        return ::fstat(fd, &st) == 0 ? int64_t(st.st_size) : AVERROR(errno);
    }
    const off_t pos = ::lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return pos < 0 ? AVERROR(errno) : int64_t(pos);
}

} // namespace

Result<std::unique_ptr<AacFileWriter>> FfmpegAacFileWriter::open(int fd, const QString &path,
                                                                  const Settings &settings)
{
    // Set at every open: the callback is reset before the module is unloaded, and the system
    // may keep the module loaded all the same.
    av_log_set_callback(forwardFfmpegLog);

    std::unique_ptr<FfmpegAacFileWriter> w(new FfmpegAacFileWriter);
    w->m_path = path;
    w->m_fd = fd;

    // The file is ours (created exclusively by the caller) and nobody knows its name yet.
    auto failed = [&](const QString &what, int err) {
        const Status status = w->fail(what, err);
        w->discard();
        return Result<std::unique_ptr<AacFileWriter>>::failure(status);
    };

    auto *ioBuffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    w->m_io = ioBuffer ? avio_alloc_context(ioBuffer, kIoBufferSize, 1, &w->m_fd, nullptr,
                                            writeToFd, seekFd)
                       : nullptr;
    if (!w->m_io) {
        av_free(ioBuffer);
        return failed(QStringLiteral("Could not set up the recording file"), AVERROR(ENOMEM));
    }

    // "ipod" is the .m4a flavour of the MPEG-4 muxer (brand M4A).
    int err = avformat_alloc_output_context2(&w->m_format, nullptr, "ipod",
                                             QFile::encodeName(path).constData());
    if (err < 0)
        return failed(QStringLiteral("Could not set up the MPEG-4 container"), err);
    w->m_format->pb = w->m_io;
    w->m_format->flags |= AVFMT_FLAG_CUSTOM_IO;

    const AVCodec *codec = avcodec_find_encoder_by_name("aac");
    if (!codec)
        return failed(QStringLiteral("The AAC encoder is not available"), AVERROR_ENCODER_NOT_FOUND);
    AVStream *stream = avformat_new_stream(w->m_format, nullptr);
    w->m_codec = avcodec_alloc_context3(codec);
    if (!stream || !w->m_codec)
        return failed(QStringLiteral("Could not set up the AAC encoder"), AVERROR(ENOMEM));

    AVCodecContext *c = w->m_codec;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP; // the only format the native encoder takes
    c->sample_rate = settings.sampleRate;
    av_channel_layout_default(&c->ch_layout, 1);
    c->bit_rate = settings.bitRate;
    c->profile = FF_PROFILE_AAC_LOW;
    c->time_base = AVRational{1, settings.sampleRate};
    if (w->m_format->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((err = avcodec_open2(c, codec, nullptr)) < 0)
        return failed(QStringLiteral("Could not open the AAC encoder"), err);
    if ((err = avcodec_parameters_from_context(stream->codecpar, c)) < 0)
        return failed(QStringLiteral("Could not set up the audio track"), err);
    stream->time_base = c->time_base;

    w->m_frame = av_frame_alloc();
    w->m_packet = av_packet_alloc();
    if (!w->m_frame || !w->m_packet)
        return failed(QStringLiteral("Could not set up the AAC encoder"), AVERROR(ENOMEM));
    w->m_frame->format = c->sample_fmt;
    w->m_frame->sample_rate = c->sample_rate;
    w->m_frame->nb_samples = c->frame_size;
    av_channel_layout_copy(&w->m_frame->ch_layout, &c->ch_layout);
    if ((err = av_frame_get_buffer(w->m_frame, 0)) < 0)
        return failed(QStringLiteral("Could not set up the AAC encoder"), err);

    if ((err = avformat_write_header(w->m_format, nullptr)) < 0)
        return failed(QStringLiteral("Could not write the recording"), err);
    avio_flush(w->m_io);
    if (w->m_io->error < 0)
        return failed(QStringLiteral("Could not write the recording"), w->m_io->error);

    return Result<std::unique_ptr<AacFileWriter>>::success(std::unique_ptr<AacFileWriter>(std::move(w)));
}

FfmpegAacFileWriter::~FfmpegAacFileWriter()
{
    close();
}

Status FfmpegAacFileWriter::write(std::span<const qint16> samples)
{
    if (!m_failure.ok())
        return m_failure;
    if (m_finished)
        return fail(QStringLiteral("The recording is already finished"), AVERROR(EINVAL));

    const int frameSize = m_codec->frame_size;
    size_t i = 0;
    while (i < samples.size()) {
        if (m_pending == 0) {
            // The encoder may still hold a reference to the previous frame's buffer.
            const int err = av_frame_make_writable(m_frame);
            if (err < 0)
                return fail(QStringLiteral("Could not encode the recording"), err);
        }
        auto *dst = reinterpret_cast<float *>(m_frame->data[0]);
        const size_t n = std::min(samples.size() - i, size_t(frameSize - m_pending));
        for (size_t k = 0; k < n; ++k)
            dst[m_pending + int(k)] = float(samples[i + k]) * (1.0f / 32768.0f);
        m_pending += int(n);
        m_samplesIn += qint64(n);
        i += n;
        if (m_pending == frameSize) {
            const Status s = encodeFrame(frameSize);
            if (!s.ok())
                return s;
        }
    }
    return Status::success();
}

Status FfmpegAacFileWriter::finish()
{
    if (!m_failure.ok())
        return m_failure;
    if (m_finished)
        return Status::success();

    if (m_pending > 0) {
        const Status s = encodeFrame(m_pending); // the encoder accepts one short last frame
        if (!s.ok())
            return s;
    }
    int err = avcodec_send_frame(m_codec, nullptr);
    if (err < 0)
        return fail(QStringLiteral("Could not encode the recording"), err);
    const Status drained = drain(true);
    if (!drained.ok())
        return drained;
    if ((err = av_write_trailer(m_format)) < 0)
        return fail(QStringLiteral("Could not write the recording"), err);
    avio_flush(m_io);
    if (m_io->error < 0)
        return fail(QStringLiteral("Could not write the recording"), m_io->error);

    // Writes through the descriptor succeed even after the file was unlinked or its directory
    // removed; only a check against the path tells whether the caller can still read it.
    struct stat opened, named;
    if (::fstat(m_fd, &opened) != 0 || ::stat(QFile::encodeName(m_path).constData(), &named) != 0
        || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        return fail(QStringLiteral("The recording file was removed before it was finished"),
                    AVERROR(ENOENT));
    }
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0)
        return fail(QStringLiteral("Could not write the recording"), AVERROR(errno));
    m_finished = true;
    close();
    return Status::success();
}

Status FfmpegAacFileWriter::encodeFrame(int samples)
{
    m_frame->nb_samples = samples;
    m_frame->pts = m_nextPts;
    m_nextPts += samples;
    m_pending = 0;
    const int err = avcodec_send_frame(m_codec, m_frame);
    if (err < 0)
        return fail(QStringLiteral("Could not encode the recording"), err);
    return drain(false);
}

Status FfmpegAacFileWriter::drain(bool flush)
{
    AVStream *stream = m_format->streams[0];
    for (;;) {
        int err = avcodec_receive_packet(m_codec, m_packet);
        if (err == AVERROR(EAGAIN) && !flush)
            return Status::success();
        if (err == AVERROR_EOF)
            return Status::success();
        if (err < 0)
            return fail(QStringLiteral("Could not encode the recording"), err);
        av_packet_rescale_ts(m_packet, m_codec->time_base, stream->time_base);
        m_packet->stream_index = stream->index;
        err = av_write_frame(m_format, m_packet);
        av_packet_unref(m_packet);
        if (err < 0)
            return fail(QStringLiteral("Could not write the recording"), err);
        if (m_io->error < 0)
            return fail(QStringLiteral("Could not write the recording"), m_io->error);
    }
}

Status FfmpegAacFileWriter::fail(const QString &what, int averror)
{
    if (m_failure.ok())
        m_failure = Status::failure(averror ? averror : AVERROR_UNKNOWN,
                                    what + QStringLiteral(": ") + averrorText(averror));
    close();
    return m_failure;
}

void FfmpegAacFileWriter::discard()
{
    close();
    if (!m_finished)
        ::unlink(QFile::encodeName(m_path).constData());
}

void FfmpegAacFileWriter::close()
{
    if (m_format) {
        m_format->pb = nullptr; // custom I/O: ours to free
        avformat_free_context(m_format);
        m_format = nullptr;
    }
    if (m_io) {
        av_freep(&m_io->buffer);
        avio_context_free(&m_io);
    }
    avcodec_free_context(&m_codec);
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace voxendo

extern "C" Q_DECL_EXPORT const voxendo::AacModuleEntry *voxendo_aac_module_entry()
{
    // Before an unload: FFmpeg's libraries may outlive this module, so its log callback must
    // not point into it any more.
    static const auto release = [] { av_log_set_callback(av_log_default_callback); };
    static const voxendo::AacModuleEntry entry{VOXENDO_VERSION, sizeof(voxendo::AacFileWriter::Settings),
                                               &voxendo::FfmpegAacFileWriter::open, release};
    return &entry;
}
