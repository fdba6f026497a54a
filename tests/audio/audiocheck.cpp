#include "audiocheck.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <random>

namespace voxendo::test {

QString run(const QString &program, const QStringList &args, int timeoutMs)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return program + QStringLiteral(" did not start: ") + p.errorString();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return program + QStringLiteral(" timed out");
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(p.readAllStandardError());
    return {};
}

ProbeInfo probe(const QString &path)
{
    ProbeInfo info;
    QProcess p;
    p.start(QStringLiteral("ffprobe"),
            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
             QStringLiteral("format=format_name,duration:stream=codec_name,profile,sample_rate,channels"),
             QStringLiteral("-of"), QStringLiteral("json"), path});
    if (!p.waitForFinished(30000) || p.exitCode() != 0) {
        info.error = QString::fromLocal8Bit(p.readAllStandardError()).trimmed();
        if (info.error.isEmpty())
            info.error = QStringLiteral("ffprobe failed");
        return info;
    }
    const QJsonObject root = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    const QJsonObject format = root.value(QStringLiteral("format")).toObject();
    info.formatName = format.value(QStringLiteral("format_name")).toString();
    info.duration = format.value(QStringLiteral("duration")).toString().toDouble();
    const QJsonArray streams = root.value(QStringLiteral("streams")).toArray();
    if (streams.size() == 1) {
        const QJsonObject s = streams.at(0).toObject();
        info.codecName = s.value(QStringLiteral("codec_name")).toString();
        info.profile = s.value(QStringLiteral("profile")).toString();
        info.sampleRate = s.value(QStringLiteral("sample_rate")).toString().toInt();
        info.channels = s.value(QStringLiteral("channels")).toInt();
    } else {
        info.error = QStringLiteral("expected one stream, found %1").arg(streams.size());
    }
    return info;
}

QVector<qint16> decodeToPcm(const QString &path)
{
    QTemporaryDir dir;
    const QString raw = dir.filePath(QStringLiteral("decoded.raw"));
    const QString err = run(QStringLiteral("ffmpeg"),
                            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                             QStringLiteral("-f"), QStringLiteral("s16le"), QStringLiteral("-ac"),
                             QStringLiteral("1"), QStringLiteral("-ar"), QStringLiteral("16000"), raw});
    if (!err.isEmpty())
        return {};
    QFile f(raw);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    QVector<qint16> pcm(bytes.size() / 2);
    memcpy(pcm.data(), bytes.constData(), size_t(pcm.size()) * 2);
    return pcm;
}

namespace {

double correlationAt(const QVector<qint16> &rec, const QVector<qint16> &ref, qsizetype lag)
{
    double xy = 0, xx = 0, yy = 0;
    for (qsizetype i = 0; i < ref.size(); ++i) {
        const qsizetype j = lag + i;
        const double y = ref[i];
        yy += y * y;
        if (j < 0 || j >= rec.size())
            continue;
        const double x = rec[j];
        xy += x * y;
        xx += x * x;
    }
    return (xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0.0;
}

// Mean absolute level per 10 ms block: finds the rough alignment cheaply.
QVector<double> envelope(const QVector<qint16> &pcm, int block)
{
    QVector<double> env(pcm.size() / block);
    for (qsizetype b = 0; b < env.size(); ++b) {
        double sum = 0;
        for (int i = 0; i < block; ++i)
            sum += std::abs(double(pcm[b * block + i]));
        env[b] = sum / block;
    }
    return env;
}

} // namespace

double bestCorrelation(const QVector<qint16> &recorded, const QVector<qint16> &reference)
{
    constexpr int block = 160;
    const QVector<double> er = envelope(recorded, block);
    const QVector<double> ef = envelope(reference, block);
    if (er.isEmpty() || ef.isEmpty())
        return 0.0;

    // Coarse: the block lags whose envelopes match best (a few candidates, to be safe).
    QVector<std::pair<double, qsizetype>> coarse;
    for (qsizetype lag = -ef.size() / 2; lag < er.size(); ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (qsizetype i = 0; i < ef.size(); ++i) {
            const qsizetype j = lag + i;
            if (j < 0 || j >= er.size())
                continue;
            xy += er[j] * ef[i];
            xx += er[j] * er[j];
            yy += ef[i] * ef[i];
        }
        coarse.append({(xx > 0 && yy > 0) ? xy / std::sqrt(xx * yy) : 0.0, lag});
    }
    std::sort(coarse.begin(), coarse.end(), [](auto a, auto b) { return a.first > b.first; });

    // Fine: every sample lag around the best candidates.
    double best = 0;
    for (qsizetype c = 0; c < std::min<qsizetype>(3, coarse.size()); ++c) {
        const qsizetype centre = coarse[c].second * block;
        for (qsizetype lag = centre - 2 * block; lag <= centre + 2 * block; ++lag)
            best = std::max(best, correlationAt(recorded, reference, lag));
    }
    return best;
}

QVector<qint16> whiteNoise(int samples, quint32 seed)
{
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(-12000, 12000);
    QVector<qint16> out(samples);
    for (auto &s : out)
        s = qint16(dist(gen));
    return out;
}

QVector<qint16> speechLike(int samples, quint32 seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> white(-1.0, 1.0);
    std::uniform_int_distribution<int> syllable(1600, 4800); // 100-300 ms
    std::uniform_real_distribution<double> loudness(0.2, 1.0);
    QVector<qint16> out(samples);
    double low = 0, lower = 0;
    int left = 0, length = 1;
    double level = 0;
    for (int i = 0; i < samples; ++i) {
        if (left == 0) {
            length = left = syllable(gen);
            level = (gen() % 4 == 0) ? 0.0 : loudness(gen); // a pause now and then
        }
        // Two one-pole low-passes: most energy below about 2 kHz, as in speech.
        low += 0.45 * (white(gen) - low);
        lower += 0.45 * (low - lower);
        const double shape = std::sin(M_PI * double(length - left) / length);
        out[i] = qint16(std::lround(std::clamp(lower * level * shape * 40000.0, -32767.0, 32767.0)));
        --left;
    }
    return out;
}

QVector<qint16> tone(int samples, double hz, int sampleRate, double amplitude)
{
    QVector<qint16> out(samples);
    for (int i = 0; i < samples; ++i)
        out[i] = qint16(std::lround(amplitude * std::sin(2 * M_PI * hz * i / sampleRate)));
    return out;
}

} // namespace voxendo::test
