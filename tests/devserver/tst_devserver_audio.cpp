// Decoding uploads to 16 kHz mono: each accepted container, resampling and down-mixing checked
// on a known tone, and the refusals (not audio, broken audio, too long).
#include "devserver/audiodecoder.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using namespace voxendo::devserver;

namespace {

// The fixtures are made by the ffmpeg command (a test dependency), so no binary is committed.
QByteArray makeTone(const QTemporaryDir &dir, const QString &name, const QStringList &outputArgs,
                    double seconds = 1.0)
{
    const QString path = dir.filePath(name);
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 QStringList{"-v", "error", "-y", "-f", "lavfi", "-i",
                             QStringLiteral("sine=frequency=440:sample_rate=44100:duration=%1").arg(seconds)}
                     + outputArgs + QStringList{path});
    if (!ffmpeg.waitForFinished(30000) || ffmpeg.exitCode() != 0)
        qWarning("ffmpeg failed: %s", ffmpeg.readAllStandardError().constData());
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Frequency from swings between clearly positive and clearly negative samples (the threshold
// keeps codec noise in silent stretches from counting), skipping the fade-in at the start.
double frequencyOf(const std::vector<qint16> &samples)
{
    constexpr int kThreshold = 1000; // the test tone peaks near 4096
    const size_t skip = DecodedAudio::kSampleRate / 10;
    int swings = 0;
    int side = 0;
    size_t first = 0, last = 0;
    for (size_t i = skip; i < samples.size(); ++i) {
        const int now = samples[i] > kThreshold ? 1 : samples[i] < -kThreshold ? -1 : 0;
        if (now != 0 && now != side) {
            if (side != 0) {
                ++swings;
                last = i;
            } else {
                first = i;
            }
            side = now;
        }
    }
    return swings < 2 ? 0 : (swings / 2.0) / (double(last - first) / DecodedAudio::kSampleRate);
}

} // namespace

class TestDevserverAudio : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty()) {
            if (qEnvironmentVariable("CI") == QLatin1String("true"))
                QFAIL("ffmpeg is needed to make the audio fixtures (scripts/deps.sh test)");
            QSKIP("ffmpeg is needed to make the audio fixtures (scripts/deps.sh test)");
        }
        QVERIFY(m_dir.isValid());
    }

    void decodesAcceptedFormats_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<double>("durationTolerance"); // seconds; codecs pad by a frame or so

        // What the recorder makes: AAC in MP4, 16 kHz mono.
        QTest::newRow("m4a aac 16k mono") << "a.m4a" << QStringList{"-ac", "1", "-ar", "16000", "-c:a", "aac"} << 0.07;
        QTest::newRow("wav stereo 44.1k") << "b.wav" << QStringList{"-ac", "2"} << 0.002;
        QTest::newRow("mp3 48k stereo") << "c.mp3" << QStringList{"-ac", "2", "-ar", "48000"} << 0.07;
        QTest::newRow("flac 22k") << "d.flac" << QStringList{"-ar", "22050"} << 0.002;
    }

    void decodesAcceptedFormats()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, args);
        QFETCH(double, durationTolerance);

        const QByteArray data = makeTone(m_dir, file, args);
        QVERIFY(!data.isEmpty());
        const DecodedAudio audio = decodeAudio(data, 60);
        QVERIFY2(audio.ok(), qPrintable(audio.message));
        QVERIFY2(std::abs(audio.seconds() - 1.0) <= durationTolerance, qPrintable(QString::number(audio.seconds())));
        // Wrong rate conversion or channel handling shifts the pitch or garbles it.
        const double hz = frequencyOf(audio.samples);
        QVERIFY2(std::abs(hz - 440) < 440 * 0.02, qPrintable(QString::number(hz)));
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<double>("maxSeconds");
        QTest::addColumn<int>("error");

        const QByteArray m4a = makeTone(m_dir, QStringLiteral("e.m4a"), {"-ac", "1", "-c:a", "aac"});
        QTest::newRow("empty") << QByteArray() << 60.0 << int(DecodedAudio::Error::UnsupportedFormat);
        QTest::newRow("text") << QByteArray("{\"text\": \"not audio\"}\n") << 60.0 << int(DecodedAudio::Error::UnsupportedFormat);
        QTest::newRow("random bytes") << QByteArray(4096, '\x5a') << 60.0 << int(DecodedAudio::Error::UnsupportedFormat);
        // A recording cut short before its index was written ("moov atom not found").
        QTest::newRow("truncated m4a") << m4a.left(m4a.size() / 2) << 60.0 << int(DecodedAudio::Error::Undecodable);
        QTest::newRow("too long") << m4a << 0.5 << int(DecodedAudio::Error::TooLong);
    }

    void refusals()
    {
        QFETCH(QByteArray, data);
        QFETCH(double, maxSeconds);
        QFETCH(int, error);

        const DecodedAudio audio = decodeAudio(data, maxSeconds);
        QCOMPARE(int(audio.error), error);
        QVERIFY(!audio.message.isEmpty());
        QVERIFY(audio.samples.empty());
    }
};

QTEST_GUILESS_MAIN(TestDevserverAudio)
#include "tst_devserver_audio.moc"
