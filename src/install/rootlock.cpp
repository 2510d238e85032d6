#include "install/rootlock.h"

#include "common/updatelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
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
    // Shared from now on, so that later starts leave this session's downloads alone.
    ::flock(m_fd, LOCK_SH);
    return alone;
#else
    // Downloads wait in the private temporary directory there, never in the root.
    Q_UNUSED(sweep)
    return false;
#endif
}
