#pragma once

#include <QString>
#include <QVector>
#include <QtGlobal>

namespace voxendo::test {

// What ffprobe reports about an audio file; empty fields when it could not read it.
struct ProbeInfo
{
    QString formatName;  // e.g. "mov,mp4,m4a,3gp,3g2,mj2"
    QString codecName;   // "aac"
    QString profile;     // "LC"
    int sampleRate = 0;
    int channels = 0;
    double duration = -1;
    QString error;       // ffprobe's complaint, if any
};

ProbeInfo probe(const QString &path);

// The file decoded by ffmpeg to 16 kHz mono 16-bit samples; empty on failure.
QVector<qint16> decodeToPcm(const QString &path);

// Highest normalised cross-correlation of `reference` against any stretch of `recorded`
// (0 when either is silent). Speech captured through the virtual microphone and AAC scores
// above 0.9; unrelated audio (noise, another phrase, silence) stays far below.
double bestCorrelation(const QVector<qint16> &recorded, const QVector<qint16> &reference);

// Deterministic test signals.
QVector<qint16> whiteNoise(int samples, quint32 seed = 1);
// Band-limited noise in syllable-like bursts: the spectrum and rhythm of speech without a voice,
// and a level envelope that pins down the alignment.
QVector<qint16> speechLike(int samples, quint32 seed = 1);
QVector<qint16> tone(int samples, double hz, int sampleRate = 16000, double amplitude = 12000);

// Runs a program to completion; empty string on success, else what went wrong.
QString run(const QString &program, const QStringList &args, int timeoutMs = 30000);

} // namespace voxendo::test
