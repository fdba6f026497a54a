#pragma once

#include "platform/status.h"

#include <QString>
#include <QtGlobal>

namespace voxendo {

// The file a recording is written to, created before any audio exists. It holds the user's
// voice, so it is created exclusively (a name planted in a shared temp directory is never
// written through) with mode 0600. Move-only; closing it leaves the file where it is.
class RecordingFile
{
public:
    static platform::Result<RecordingFile> create(const QString &path);

    RecordingFile() = default;
    RecordingFile(RecordingFile &&other) noexcept;
    RecordingFile &operator=(RecordingFile &&other) noexcept;
    ~RecordingFile();

    bool isOpen() const { return m_fd >= 0; }
    QString path() const { return m_path; }

    // Hands the descriptor over to the writer; this object no longer closes it.
    int releaseDescriptor();
    // Closes and deletes the file: for a recording that never got under way, whose name nobody
    // else has seen.
    void discard();

private:
    RecordingFile(int fd, QString path) : m_fd(fd), m_path(std::move(path)) {}
    void close();

    int m_fd = -1;
    QString m_path;
};

} // namespace voxendo
