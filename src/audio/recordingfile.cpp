#include "audio/recordingfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace voxendo {

platform::Result<RecordingFile> RecordingFile::create(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int err = errno;
        return platform::Result<RecordingFile>::failure(platform::Status::failure(
            -err, QStringLiteral("Could not create %1: %2").arg(path, QString::fromLocal8Bit(strerror(err)))));
    }
    ::fchmod(fd, 0600); // the umask may only have narrowed it; make it exact
    return platform::Result<RecordingFile>::success(RecordingFile(fd, path));
}

RecordingFile::RecordingFile(RecordingFile &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_path(std::move(other.m_path))
{
}

RecordingFile &RecordingFile::operator=(RecordingFile &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

RecordingFile::~RecordingFile()
{
    close();
}

int RecordingFile::releaseDescriptor()
{
    return std::exchange(m_fd, -1);
}

void RecordingFile::discard()
{
    if (m_fd < 0)
        return;
    close();
    ::unlink(QFile::encodeName(m_path).constData());
}

void RecordingFile::close()
{
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

} // namespace voxendo
