#pragma once

#include <QByteArray>
#include <QString>

#include <vector>

namespace voxendo::devserver {

// Uploaded audio turned into what the recogniser wants: 16 kHz, mono, signed 16-bit samples.
struct DecodedAudio
{
    enum class Error {
        None,
        UnsupportedFormat, // not one of the accepted containers
        Undecodable,       // an accepted container, but broken or without audio
        TooLong,           // longer than the caller's limit
    };

    Error error = Error::None;
    QString message; // for the client; empty on success
    QByteArray container; // the demuxer FFmpeg chose, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
    std::vector<qint16> samples;

    bool ok() const { return error == Error::None; }
    double seconds() const { return double(samples.size()) / kSampleRate; }

    static constexpr int kSampleRate = 16000;
};

// Decodes a whole file held in memory with FFmpeg. Only the containers a transcription API
// accepts are probed for (MP4/M4A, MP3, Ogg, WAV, FLAC, WebM/Matroska), so arbitrary uploads
// never reach FFmpeg's other demuxers. Thread-safe: each call has its own FFmpeg state.
DecodedAudio decodeAudio(const QByteArray &data, double maxSeconds);

} // namespace voxendo::devserver
