#include "common/staginglock.h"

#include <QFile>

#include <utility>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

StagingLock::StagingLock(const QString &directory)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(directory + QLatin1Char('/') + fileName());
    // Not through a link, and not held up by a FIFO someone put in its place.
    const int fd
        = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    // Whoever held it last may have removed the directory between our open and our lock:
    // a lock on a file no longer at its name guards nothing.
    struct stat opened = {};
    struct stat named = {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)
        || ::lstat(path.constData(), &named) != 0 || opened.st_dev != named.st_dev
        || opened.st_ino != named.st_ino) {
        ::close(fd);
        return;
    }
    m_fd = fd;
#else
    // Without flock(2) nothing tells a live directory from a leftover: each is taken as ours,
    // as before.
    Q_UNUSED(directory)
#endif
    m_held = true;
}

StagingLock::~StagingLock()
{
    release();
}

StagingLock::StagingLock(StagingLock &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_held(std::exchange(other.m_held, false))
{
}

StagingLock &StagingLock::operator=(StagingLock &&other) noexcept
{
    if (this != &other) {
        release();
        m_fd = std::exchange(other.m_fd, -1);
        m_held = std::exchange(other.m_held, false);
    }
    return *this;
}

void StagingLock::release()
{
#ifdef Q_OS_UNIX
    // Closing the one descriptor lets go of the hold.
    if (m_fd >= 0)
        ::close(m_fd);
#endif
    m_fd = -1;
    m_held = false;
}
