#include "devserver/audiodecoder.h"

#include <QList>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <cstring>
#include <memory>
#include <mutex>

namespace voxendo::devserver {

namespace {

// Demuxers that may open an upload: the formats a transcription API accepts.
constexpr const char *kAllowedDemuxers = "mov,mp4,m4a,3gp,3g2,mj2,mp3,ogg,wav,flac,matroska,webm";
const QString kUnsupportedMessage = QStringLiteral(
    "Invalid file format. Supported formats: ['flac', 'm4a', 'mp3', 'mp4', 'mpeg', 'mpga', "
    "'oga', 'ogg', 'wav', 'webm']");

QString ffmpegError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

bool isAllowedDemuxer(const char *name)
{
    static const QList<QByteArray> allowed = QByteArray(kAllowedDemuxers).split(',');
    for (const QByteArray &n : QByteArray(name).split(',')) {
        if (allowed.contains(n))
            return true;
    }
    return false;
}

// Reads from the upload in memory; seeking is needed for MP4 files whose index sits at the end.
struct MemoryReader
{
    const QByteArray *data;
    qint64 pos = 0;

    static int read(void *opaque, uint8_t *buf, int size)
    {
        auto *r = static_cast<MemoryReader *>(opaque);
        const qint64 left = r->data->size() - r->pos;
        if (left <= 0)
            return AVERROR_EOF;
        const int n = int(qMin<qint64>(left, size));
        std::memcpy(buf, r->data->constData() + r->pos, size_t(n));
        r->pos += n;
        return n;
    }

    static int64_t seek(void *opaque, int64_t offset, int whence)
    {
        auto *r = static_cast<MemoryReader *>(opaque);
        const qint64 size = r->data->size();
        qint64 target;
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE: return size;
        case SEEK_SET: target = offset; break;
        case SEEK_CUR: target = r->pos + offset; break;
        case SEEK_END: target = size + offset; break;
        default: return AVERROR(EINVAL);
        }
        if (target < 0 || target > size)
            return AVERROR(EINVAL);
        r->pos = target;
        return target;
    }
};

struct FormatCloser { void operator()(AVFormatContext *f) const { avformat_close_input(&f); } };
struct IoCloser
{
    void operator()(AVIOContext *io) const
    {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct CodecCloser { void operator()(AVCodecContext *c) const { avcodec_free_context(&c); } };
struct SwrCloser { void operator()(SwrContext *s) const { swr_free(&s); } };
struct PacketCloser { void operator()(AVPacket *p) const { av_packet_free(&p); } };
struct FrameCloser { void operator()(AVFrame *f) const { av_frame_free(&f); } };

DecodedAudio failed(DecodedAudio::Error error, QString message)
{
    DecodedAudio out;
    out.error = error;
    out.message = std::move(message);
    return out;
}

const AVInputFormat *probe(const QByteArray &data, int *score)
{
    // Probing looks at the start of the file; FFmpeg wants zero padding after the bytes.
    const int probeSize = int(qMin<qsizetype>(data.size(), 1 << 20));
    QByteArray padded(probeSize + AVPROBE_PADDING_SIZE, '\0');
    std::memcpy(padded.data(), data.constData(), size_t(probeSize));
    AVProbeData pd = {};
    pd.filename = "";
    pd.buf = reinterpret_cast<unsigned char *>(padded.data());
    pd.buf_size = probeSize;
    return av_probe_input_format3(&pd, 1, score);
}

class Decoder
{
public:
    Decoder(qint64 maxSamples) : m_maxSamples(maxSamples) {}

    // Converts and appends one decoded frame (or, with null, flushes the resampler).
    bool append(SwrContext *swr, const AVFrame *frame)
    {
        const int inSamples = frame ? frame->nb_samples : 0;
        const int capacity = swr_get_out_samples(swr, inSamples);
        if (capacity < 0)
            return false;
        const size_t old = m_out.size();
        m_out.resize(old + size_t(capacity));
        uint8_t *outPlanes[1] = {reinterpret_cast<uint8_t *>(m_out.data() + old)};
        const int n = swr_convert(swr, outPlanes, capacity,
                                  frame ? const_cast<const uint8_t **>(frame->extended_data) : nullptr,
                                  inSamples);
        if (n < 0) {
            m_out.resize(old);
            return false;
        }
        m_out.resize(old + size_t(n));
        return true;
    }

    bool tooLong() const { return qint64(m_out.size()) > m_maxSamples; }
    std::vector<qint16> take() { return std::move(m_out); }

private:
    qint64 m_maxSamples;
    std::vector<qint16> m_out;
};

} // namespace

DecodedAudio decodeAudio(const QByteArray &data, double maxSeconds)
{
    // Broken uploads are expected here and reported to the client; FFmpeg's own complaints
    // about them would only clutter the server's log.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });

    const QString tooLongMessage =
        QStringLiteral("Audio is longer than the %1 seconds this server transcribes").arg(maxSeconds);
    int score = 0;
    const AVInputFormat *format = data.isEmpty() ? nullptr : probe(data, &score);
    if (!format || !isAllowedDemuxer(format->name))
        return failed(DecodedAudio::Error::UnsupportedFormat, kUnsupportedMessage);

    MemoryReader reader{&data};
    constexpr int kIoBufferSize = 64 * 1024;
    auto *ioBuffer = static_cast<unsigned char *>(av_malloc(kIoBufferSize));
    std::unique_ptr<AVIOContext, IoCloser> io(avio_alloc_context(
        ioBuffer, kIoBufferSize, 0, &reader, &MemoryReader::read, nullptr, &MemoryReader::seek));
    if (!io) {
        av_free(ioBuffer);
        return failed(DecodedAudio::Error::Undecodable, QStringLiteral("Out of memory"));
    }

    AVFormatContext *rawFormat = avformat_alloc_context();
    rawFormat->pb = io.get();
    rawFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary *options = nullptr;
    av_dict_set(&options, "format_whitelist", kAllowedDemuxers, 0);
    int rc = avformat_open_input(&rawFormat, nullptr, format, &options);
    av_dict_free(&options);
    if (rc < 0) // avformat_open_input freed the context
        return failed(DecodedAudio::Error::Undecodable,
                      QStringLiteral("Audio file could not be decoded: ") + ffmpegError(rc));
    std::unique_ptr<AVFormatContext, FormatCloser> fmt(rawFormat);

    if ((rc = avformat_find_stream_info(fmt.get(), nullptr)) < 0)
        return failed(DecodedAudio::Error::Undecodable,
                      QStringLiteral("Audio file could not be decoded: ") + ffmpegError(rc));
    const AVCodec *codec = nullptr;
    const int stream = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream < 0 || !codec)
        return failed(DecodedAudio::Error::Undecodable,
                      QStringLiteral("Audio file could not be decoded: no audio stream"));

    std::unique_ptr<AVCodecContext, CodecCloser> ctx(avcodec_alloc_context3(codec));
    if (!ctx
        || avcodec_parameters_to_context(ctx.get(), fmt->streams[stream]->codecpar) < 0
        || (rc = avcodec_open2(ctx.get(), codec, nullptr)) < 0)
        return failed(DecodedAudio::Error::Undecodable,
                      QStringLiteral("Audio file could not be decoded: ") + ffmpegError(rc));

    AVChannelLayout inLayout = {};
    if (ctx->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || ctx->ch_layout.nb_channels <= 0)
        av_channel_layout_default(&inLayout, qMax(1, ctx->ch_layout.nb_channels));
    else
        av_channel_layout_copy(&inLayout, &ctx->ch_layout);
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext *rawSwr = nullptr;
    rc = swr_alloc_set_opts2(&rawSwr, &mono, AV_SAMPLE_FMT_S16, DecodedAudio::kSampleRate,
                             &inLayout, ctx->sample_fmt, ctx->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    std::unique_ptr<SwrContext, SwrCloser> swr(rawSwr);
    if (rc < 0 || ctx->sample_rate <= 0 || (rc = swr_init(swr.get())) < 0)
        return failed(DecodedAudio::Error::Undecodable,
                      QStringLiteral("Audio file could not be decoded: unusable sample format"));

    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
    Decoder decoder(qint64(maxSeconds * DecodedAudio::kSampleRate));
    int decodedFrames = 0;
    int badPackets = 0;

    auto drain = [&]() -> bool {
        for (;;) {
            const int r = avcodec_receive_frame(ctx.get(), frame.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
                return true;
            if (r < 0)
                return false;
            ++decodedFrames;
            const bool ok = decoder.append(swr.get(), frame.get());
            av_frame_unref(frame.get());
            if (!ok)
                return false;
            if (decoder.tooLong())
                return true;
        }
    };

    while ((rc = av_read_frame(fmt.get(), packet.get())) >= 0) {
        if (packet->stream_index == stream) {
            // A damaged packet is skipped, as players do; only audio that yields nothing fails.
            if (avcodec_send_packet(ctx.get(), packet.get()) < 0)
                ++badPackets;
            else if (!drain())
                ++badPackets;
        }
        av_packet_unref(packet.get());
        if (decoder.tooLong())
            return failed(DecodedAudio::Error::TooLong, tooLongMessage);
    }
    if (rc != AVERROR_EOF && decodedFrames == 0)
        return failed(DecodedAudio::Error::Undecodable,
                      QStringLiteral("Audio file could not be decoded: ") + ffmpegError(rc));
    avcodec_send_packet(ctx.get(), nullptr);
    drain();
    decoder.append(swr.get(), nullptr);
    if (decoder.tooLong())
        return failed(DecodedAudio::Error::TooLong, tooLongMessage);
    if (decodedFrames == 0)
        return failed(DecodedAudio::Error::Undecodable,
                      badPackets > 0
                          ? QStringLiteral("Audio file could not be decoded: the audio data is damaged")
                          : QStringLiteral("Audio file could not be decoded: it holds no audio"));

    DecodedAudio out;
    out.container = QByteArray(format->name);
    out.samples = decoder.take();
    return out;
}

} // namespace voxendo::devserver
