#include "audio/aacencodermodule.h"

#include "common/logging.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cerrno>
#include <utility>

namespace voxendo {

using platform::Result;
using platform::Status;

Result<std::unique_ptr<AacFileWriter>> AacFileWriter::create(const QString &path,
                                                             const Settings &settings)
{
    auto file = RecordingFile::create(path);
    if (!file.ok())
        return Result<std::unique_ptr<AacFileWriter>>::failure(file.status);
    return open(std::move(*file.value), settings);
}

Result<std::unique_ptr<AacFileWriter>> AacFileWriter::open(RecordingFile file, const Settings &settings)
{
    return AacEncoderModule::shared().open(std::move(file), settings);
}

// A writer of the module, which tells the module when it is gone, after the module's own
// code for it has run.
class AacEncoderModule::Lease final : public AacFileWriter
{
public:
    Lease(std::unique_ptr<AacFileWriter> writer, AacEncoderModule *module)
        : m_writer(std::move(writer)), m_module(module)
    {
    }
    ~Lease() override
    {
        m_writer.reset();
        m_module->writerClosed();
    }
    Status write(std::span<const qint16> samples) override { return m_writer->write(samples); }
    Status finish() override { return m_writer->finish(); }
    void discard() override { m_writer->discard(); }
    QString path() const override { return m_writer->path(); }
    qint64 samplesWritten() const override { return m_writer->samplesWritten(); }

private:
    std::unique_ptr<AacFileWriter> m_writer;
    AacEncoderModule *m_module;
};

AacEncoderModule::AacEncoderModule(QStringList searchDirectories)
    : m_directories(std::move(searchDirectories))
{
}

AacEncoderModule::~AacEncoderModule()
{
    delete m_library; // QLibrary's destructor leaves the module loaded
}

AacEncoderModule &AacEncoderModule::shared()
{
    static AacEncoderModule *instance = new AacEncoderModule(defaultSearchDirectories());
    return *instance;
}

QStringList AacEncoderModule::defaultSearchDirectories()
{
    QStringList dirs;
    const QString override = qEnvironmentVariable("VOXENDO_MODULE_DIR");
    if (!override.isEmpty())
        dirs.append(override);
    dirs.append(QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1Char('/')
                                + QStringLiteral(VOXENDO_MODULE_RELDIR)));
    return dirs;
}

bool AacEncoderModule::isLoaded() const
{
    QMutexLocker lock(&m_mutex);
    return m_entry != nullptr;
}

Result<std::unique_ptr<AacFileWriter>> AacEncoderModule::open(RecordingFile file,
                                                             const AacFileWriter::Settings &settings)
{
    const AacModuleEntry *entry = nullptr;
    {
        QMutexLocker lock(&m_mutex);
        const Status loaded = load();
        if (!loaded.ok()) {
            file.discard(); // nobody has been given its name
            return Result<std::unique_ptr<AacFileWriter>>::failure(loaded);
        }
        entry = m_entry;
        ++m_writers; // held from here, so that no unload can come between
    }
    const QString path = file.path();
    auto opened = entry->open(file.releaseDescriptor(), path, settings);
    if (!opened.ok()) {
        writerClosed();
        return opened;
    }
    return Result<std::unique_ptr<AacFileWriter>>::success(
        std::make_unique<Lease>(std::move(*opened.value), this));
}

void AacEncoderModule::writerClosed()
{
    QMutexLocker lock(&m_mutex);
    --m_writers;
}

bool AacEncoderModule::unloadIfUnused()
{
    QMutexLocker lock(&m_mutex);
    if (!m_entry || m_writers > 0)
        return false;
    m_entry->release();
    m_entry = nullptr;
    const bool unloaded = m_library->unload();
    delete std::exchange(m_library, nullptr);
    qCInfo(lcAudio) << "Unloaded the audio encoder module" << (unloaded ? "" : "(the system kept it)");
    return true;
}

Status AacEncoderModule::load()
{
    if (m_entry)
        return Status::success();

    QString found;
    for (const QString &dir : m_directories) {
        const QString candidate = QDir(dir).filePath(QStringLiteral("lib%1.so").arg(QLatin1String(kAacModuleBaseName)));
        if (QFileInfo(candidate).isFile()) {
            found = candidate;
            break;
        }
    }
    if (found.isEmpty()) {
        return Status::failure(-ENOENT, QStringLiteral("The audio encoder module is missing (looked in %1)")
                                             .arg(m_directories.join(QStringLiteral(", "))));
    }

    QElapsedTimer timer;
    timer.start();
    auto library = std::make_unique<QLibrary>(found);
    if (!library->load()) {
        return Status::failure(-ELIBBAD, QStringLiteral("The audio encoder module could not be loaded: %1")
                                              .arg(library->errorString()));
    }
    const auto entryFunction = reinterpret_cast<AacModuleEntryFunction>(library->resolve(kAacModuleEntrySymbol));
    const AacModuleEntry *entry = entryFunction ? entryFunction() : nullptr;
    if (!entry || qstrcmp(entry->version, VOXENDO_VERSION) != 0
        || entry->settingsSize != sizeof(AacFileWriter::Settings) || !entry->open || !entry->release) {
        library->unload();
        return Status::failure(-ELIBBAD, QStringLiteral("The audio encoder module %1 does not belong to Voxendo %2")
                                              .arg(found, QStringLiteral(VOXENDO_VERSION)));
    }
    qCInfo(lcAudio) << "Loaded the audio encoder module" << found << "in" << timer.elapsed() << "ms";
    m_library = library.release();
    m_entry = entry;
    return Status::success();
}

} // namespace voxendo
