// The AAC file writer on its own: the file format, the privacy of the file, every way the
// file can fail to come out whole, and the loading of the encoder module.
#include "audio/aacencodermodule.h"
#include "audio/aacfilewriter.h"
#include "audio/recordingencoder.h"
#include "audiocheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace voxendo;
using namespace voxendo::test;
using namespace std::chrono_literals;

namespace {

// Writes `pcm` in uneven slices, as a capture device would deliver it.
platform::Status writeInSlices(AacFileWriter &w, const QVector<qint16> &pcm)
{
    static const int slices[] = {160, 333, 1024, 7, 2048, 515};
    qsizetype at = 0;
    for (int k = 0; at < pcm.size(); ++k) {
        const qsizetype n = std::min<qsizetype>(slices[k % 6], pcm.size() - at);
        const platform::Status s = w.write(std::span<const qint16>(pcm.constData() + at, size_t(n)));
        if (!s.ok())
            return s;
        at += n;
    }
    return platform::Status::success();
}

bool processMaps(const char *library)
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains(library);
}

} // namespace

class TestAacFileWriter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesPrivateAacM4aOfTheSamples_data()
    {
        QTest::addColumn<int>("samples");
        QTest::newRow("2.5 s") << 40000;
        QTest::newRow("less than one AAC frame") << 700;
        QTest::newRow("exact frames") << 1024 * 20;
    }

    void writesPrivateAacM4aOfTheSamples()
    {
        QFETCH(int, samples);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("voxendo_test.m4a"));
        const QVector<qint16> pcm = speechLike(samples, 7);

        auto created = AacFileWriter::create(path);
        QVERIFY2(created.ok(), qPrintable(created.status.message));
        AacFileWriter &w = **created.value;
        QVERIFY(writeInSlices(w, pcm).ok());
        QCOMPARE(w.samplesWritten(), qint64(samples));
        const platform::Status finished = w.finish();
        QVERIFY2(finished.ok(), qPrintable(finished.message));

        QCOMPARE(QFileInfo(path).permissions() & 0x7777,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
        const ProbeInfo info = probe(path);
        QVERIFY2(info.error.isEmpty(), qPrintable(info.error));
        QCOMPARE(info.codecName, QStringLiteral("aac"));
        QCOMPARE(info.profile, QStringLiteral("LC"));
        QCOMPARE(info.sampleRate, 16000);
        QCOMPARE(info.channels, 1);
        QVERIFY2(info.formatName.contains(QStringLiteral("m4a")), qPrintable(info.formatName));
        // The priming delay is hidden by the edit list: the duration is the samples written.
        QVERIFY2(std::abs(info.duration - samples / 16000.0) < 0.002, qPrintable(QString::number(info.duration)));

        // The samples survive the encoder: no shift, no gap, no mix-up of buffers.
        const QVector<qint16> decoded = decodeToPcm(path);
        // (ffmpeg decodes the last frame whole; the duration above is the exact one.)
        QVERIFY(decoded.size() >= samples && decoded.size() < samples + 1024);
        if (samples >= 16000) {
            const double c = bestCorrelation(decoded, pcm);
            QVERIFY2(c > 0.8, qPrintable(QString::number(c)));
            QVERIFY(bestCorrelation(decoded, speechLike(samples, 8)) < 0.3);
        }
    }

    // The upload size of a take: at most 4.5 KB per second of speech.
    void keepsTheFileSmall()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("rate.m4a"));
        auto created = AacFileWriter::create(path);
        QVERIFY(created.ok());
        QVERIFY(writeInSlices(**created.value, speechLike(16000 * 30, 3)).ok());
        QVERIFY((*created.value)->finish().ok());
        const double bytesPerSecond = QFileInfo(path).size() / 30.0;
        QVERIFY2(bytesPerSecond <= 4500, qPrintable(QString::number(bytesPerSecond)));
    }

    void neverWritesThroughAnExistingName_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("existing file") << "file";
        QTest::newRow("symlink to a file") << "symlink";
        QTest::newRow("dangling symlink") << "dangling";
        QTest::newRow("missing directory") << "nodir";
    }

    void neverWritesThroughAnExistingName()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("voxendo_x.m4a"));
        const QString victim = dir.filePath(QStringLiteral("victim"));
        QFile v(victim);
        QVERIFY(v.open(QIODevice::WriteOnly));
        v.write("precious");
        v.close();
        QString target = path;
        if (kind == QLatin1String("file"))
            QVERIFY(QFile::copy(victim, path));
        else if (kind == QLatin1String("symlink"))
            QVERIFY(QFile::link(victim, path));
        else if (kind == QLatin1String("dangling"))
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), path));
        else
            target = dir.filePath(QStringLiteral("gone/voxendo_x.m4a"));

        auto created = AacFileWriter::create(target);
        QVERIFY(!created.ok());
        QVERIFY2(created.status.message.startsWith(QStringLiteral("Could not create ") + target),
                 qPrintable(created.status.message));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("nowhere"))));
        QFile check(victim);
        QVERIFY(check.open(QIODevice::ReadOnly));
        QCOMPARE(check.readAll(), QByteArray("precious"));
    }

    // A full disk (or quota) mid-recording: here the process's file-size limit.
    void reportsAWriteFailure()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("full.m4a"));
        auto created = AacFileWriter::create(path);
        QVERIFY(created.ok());
        AacFileWriter &w = **created.value;

        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit small = old;
        small.rlim_cur = 2000;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        platform::Status status = writeInSlices(w, whiteNoise(16000 * 5, 5));
        const bool failedWhileWriting = !status.ok();
        if (status.ok())
            status = w.finish();
        setrlimit(RLIMIT_FSIZE, &old);

        QVERIFY(failedWhileWriting); // within about a second of audio, not only at the end
        QVERIFY(!status.ok());
        QVERIFY2(status.message.startsWith(QStringLiteral("Could not write the recording: File too large")),
                 qPrintable(status.message));
        // Final: nothing later pretends the file is whole.
        QCOMPARE(w.write(std::span<const qint16>()).message, status.message);
        QCOMPARE(w.finish().message, status.message);
    }

    void finishFailsWhenTheFileIsGone_data()
    {
        QTest::addColumn<QString>("what");
        QTest::newRow("file deleted") << "unlink";
        QTest::newRow("directory removed") << "rmdir";
        QTest::newRow("file replaced") << "replace";
    }

    void finishFailsWhenTheFileIsGone()
    {
        QFETCH(QString, what);
        QTemporaryDir dir;
        const QString sub = dir.filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(sub));
        const QString path = sub + QStringLiteral("/voxendo_x.m4a");
        auto created = AacFileWriter::create(path);
        QVERIFY(created.ok());
        QVERIFY(writeInSlices(**created.value, whiteNoise(16000, 1)).ok());

        if (what == QLatin1String("unlink")) {
            QVERIFY(QFile::remove(path));
        } else if (what == QLatin1String("rmdir")) {
            QVERIFY(QDir(sub).removeRecursively());
        } else {
            QVERIFY(QFile::remove(path));
            QFile other(path);
            QVERIFY(other.open(QIODevice::WriteOnly));
        }
        const platform::Status status = (*created.value)->finish();
        QVERIFY(!status.ok());
        QVERIFY2(status.message.startsWith(QStringLiteral("The recording file was removed before it was finished")),
                 qPrintable(status.message));
    }

    void discardRemovesOnlyAnUnfinishedFile()
    {
        QTemporaryDir dir;
        const QString a = dir.filePath(QStringLiteral("a.m4a"));
        const QString b = dir.filePath(QStringLiteral("b.m4a"));
        auto wa = AacFileWriter::create(a);
        auto wb = AacFileWriter::create(b);
        QVERIFY(wa.ok() && wb.ok());
        (*wa.value)->discard();
        QVERIFY(!QFileInfo::exists(a));
        QVERIFY((*wb.value)->finish().ok());
        (*wb.value)->discard();
        QVERIFY(QFileInfo::exists(b));
    }

    // Without a usable encoder module a recording cannot start: the reason names what was
    // wrong, the file is removed, and the next recording tries again.
    void aMissingOrForeignModuleFailsClearlyAndIsTriedAgain_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("message");
        QTest::newRow("missing") << "" << "The audio encoder module is missing (looked in ";
        QTest::newRow("not a library") << "text" << "The audio encoder module could not be loaded: ";
        QTest::newRow("another library") << "libz" << "The audio encoder module ";
    }

    void aMissingOrForeignModuleFailsClearlyAndIsTriedAgain()
    {
        QFETCH(QString, content);
        QFETCH(QString, message);
        const QString built = qEnvironmentVariable("VOXENDO_MODULE_DIR") + QStringLiteral("/libvoxendo-aac.so");
        QVERIFY2(QFileInfo::exists(built), "run through ctest, which sets VOXENDO_MODULE_DIR");
        QTemporaryDir moduleDir, recordDir;
        const QString module = moduleDir.filePath(QStringLiteral("libvoxendo-aac.so"));
        if (content == QLatin1String("text")) {
            QFile f(module);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("not an ELF file\n");
        } else if (content == QLatin1String("libz")) {
            // A copy: the C library would take a link to an already loaded library for that one.
            QVERIFY(QFile::copy(QStringLiteral("/usr/lib/x86_64-linux-gnu/libz.so.1"), module));
        }
        AacEncoderModule loader({moduleDir.path()});
        const QString path = recordDir.filePath(QStringLiteral("voxendo_x.m4a"));

        auto file = RecordingFile::create(path);
        QVERIFY(file.ok());
        auto writer = loader.open(std::move(*file.value), {});
        QVERIFY(!writer.ok());
        QVERIFY2(writer.status.message.startsWith(message), qPrintable(writer.status.message));
        QVERIFY(!QFileInfo::exists(path));
        QVERIFY(!loader.isLoaded());

        // Repaired (a package upgrade finished, say): the next recording works.
        QFile::remove(module);
        QVERIFY(QFile::copy(built, module));
        file = RecordingFile::create(path);
        writer = loader.open(std::move(*file.value), {});
        QVERIFY2(writer.ok(), qPrintable(writer.status.message));
        QVERIFY(loader.isLoaded());
        QVERIFY((*writer.value)->write(speechLike(4000, 3)).ok());
        QVERIFY((*writer.value)->finish().ok());
        QCOMPARE(probe(path).codecName, QStringLiteral("aac"));
        writer.value.reset();
        QVERIFY(loader.unloadIfUnused());
    }

    // Between dictations the encoder module is unloaded, never under a writer that is still
    // open; the next recording loads it again and comes out whole.
    void theModuleIsUnloadedWhenIdleAndLoadedAgain()
    {
        QTemporaryDir dir;
        AacEncoderModule &module = AacEncoderModule::shared();
        auto held = AacFileWriter::create(dir.filePath(QStringLiteral("held.m4a")));
        QVERIFY(held.ok());
        QVERIFY(!module.unloadIfUnused());
        QVERIFY((*held.value)->finish().ok());
        held.value.reset();
        QVERIFY(processMaps("libavcodec"));
        QVERIFY(module.unloadIfUnused());
        QVERIFY(!module.isLoaded());
        QVERIFY(!processMaps("libavcodec")); // FFmpeg's memory is given back

        RecordingEncoder encoder(nullptr, 50ms);
        QList<platform::Status> answers;
        connect(&encoder, &RecordingEncoder::finished, this,
                [&](quint64, const platform::Status &status) { answers.append(status); });
        for (int take = 0; take < 2; ++take) {
            const QString path = dir.filePath(QStringLiteral("take%1.m4a").arg(take));
            auto file = RecordingFile::create(path);
            QVERIFY(file.ok());
            const quint64 id = encoder.begin(std::move(*file.value));
            const QVector<qint16> pcm = speechLike(16000, take);
            encoder.append(id, QByteArray(reinterpret_cast<const char *>(pcm.constData()), pcm.size() * 2));
            encoder.finish(id);
            QTRY_COMPARE(answers.size(), take + 1);
            QVERIFY2(answers.last().ok(), qPrintable(answers.last().message));
            QTRY_VERIFY(!module.isLoaded());
            const ProbeInfo info = probe(path);
            QVERIFY2(info.error.isEmpty() && info.codecName == QLatin1String("aac"), qPrintable(info.error));
            QVERIFY(std::abs(info.duration - 1.0) < 0.1);
        }
    }
};

QTEST_GUILESS_MAIN(TestAacFileWriter)
#include "tst_aacfilewriter.moc"
