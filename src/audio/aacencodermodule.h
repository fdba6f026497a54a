#pragma once

#include "audio/aacfilewriter.h"

#include <QLibrary>
#include <QMutex>
#include <QStringList>

namespace voxendo {

// What the encoder module exports: one C function, kAacModuleEntrySymbol, that answers this
// table. The module is built with the application and only a module of the same build is used.
struct AacModuleEntry
{
    const char *version;    // the application version it was built for
    size_t settingsSize;    // sizeof(AacFileWriter::Settings) as it was compiled
    // Takes ownership of fd, which was created for `path`.
    platform::Result<std::unique_ptr<AacFileWriter>> (*open)(int fd, const QString &path,
                                                              const AacFileWriter::Settings &settings);
    void (*release)(); // called before the module is unloaded, with no writer left
};
using AacModuleEntryFunction = const AacModuleEntry *(*)();
inline constexpr char kAacModuleEntrySymbol[] = "voxendo_aac_module_entry";
inline constexpr char kAacModuleBaseName[] = "voxendo-aac";

// Finds and loads the encoder module when a writer is needed, from any thread, and unloads it
// on request once no writer is left (FFmpeg and its libraries are about 19 MB of resident
// memory that a Voxendo waiting in the tray has no use for). A failed load is tried again at
// the next recording: the package may have been repaired meanwhile.
class AacEncoderModule
{
public:
    // Looks in each directory in turn for the module file.
    explicit AacEncoderModule(QStringList searchDirectories);
    ~AacEncoderModule();

    // $VOXENDO_MODULE_DIR if set, then the installed location relative to the executable
    // (the build tree mirrors it).
    static AacEncoderModule &shared();
    static QStringList defaultSearchDirectories();

    platform::Result<std::unique_ptr<AacFileWriter>> open(RecordingFile file,
                                                           const AacFileWriter::Settings &settings);
    bool isLoaded() const;
    // Unloads the module if it is loaded and no writer it made is alive; true if it did.
    bool unloadIfUnused();

private:
    Q_DISABLE_COPY(AacEncoderModule)
    class Lease;
    platform::Status load();
    void writerClosed();

    const QStringList m_directories;
    mutable QMutex m_mutex;
    QLibrary *m_library = nullptr;
    const AacModuleEntry *m_entry = nullptr;
    int m_writers = 0; // alive writers of the loaded module
};

} // namespace voxendo
