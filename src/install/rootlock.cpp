#include "install/rootlock.h"

#include "common/updatelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <thread>
#endif

RootLock::RootLock(const QString &root)
    : m_path(root + QStringLiteral("/.lock"))
{
}

RootLock::~RootLock()
{
#ifdef Q_OS_UNIX
    if (m_fd >= 0)
        ::close(m_fd);
#endif
}

bool RootLock::sweepIfAlone(const std::function<void()> &sweep)
{
#ifdef Q_OS_UNIX
    if (m_fd < 0) {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        m_fd = ::open(QFile::encodeName(m_path).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) {
            qCWarning(lcUpdate) << "Cannot open the install root's lock" << m_path;
            return false;
        }
    }
    const bool alone = ::flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    if (alone)
        sweep();
    else
        qCInfo(lcUpdate) << "Another process holds the install root's lock: leftovers stay";
    // Shared from now on, so that later starts leave this session's downloads alone.
    if (::flock(m_fd, LOCK_SH | LOCK_NB) != 0)
        holdWhenFree();
    return alone;
#else
    // Downloads wait in the private temporary directory there, never in the root.
    Q_UNUSED(sweep)
    return false;
#endif
}

void RootLock::holdWhenFree()
{
#ifdef Q_OS_UNIX
    // Someone holds it alone: a start sweeping, or a stranger that may keep it for long. The
    // start goes on at once, and the hold is taken as soon as they let go, through a
    // duplicate, which shares the one open file the lock belongs to. Should this session end
    // before, closing the duplicate then lets go of it.
    qCWarning(lcUpdate) << "The install root's lock is held alone by another process;"
                        << "this session takes its share when it is let go";
    const int duplicate = ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0)
        return;
    std::thread([duplicate] {
        while (::flock(duplicate, LOCK_SH) != 0 && errno == EINTR) { }
        ::close(duplicate);
    }).detach();
#endif
}
