#include "install/descriptortree.h"

#ifdef Q_OS_LINUX
#include <QDateTime>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DescriptorTree {

int openDirAt(int at, const char *name)
{
    return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

QList<QByteArray> entriesOf(int dirFd)
{
    QList<QByteArray> names;
    const int copy = ::dup(dirFd);
    DIR *dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!dir) {
        if (copy >= 0)
            ::close(copy);
        return names;
    }
    ::rewinddir(dir);
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.append(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

qint64 treeSize(int dir, int depth, int depthLimit)
{
    qint64 total = 0;
    for (const QByteArray &entry : entriesOf(dir)) {
        struct stat status;
        if (::fstatat(dir, entry.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(status.st_mode)) {
            total += status.st_size;
        } else if (S_ISDIR(status.st_mode) && depth + 1 < depthLimit) {
            const Fd sub(openDirAt(dir, entry.constData()));
            if (sub.valid())
                total += treeSize(sub.get(), depth + 1, depthLimit);
        }
    }
    return total;
}

void removeBelow(int dir)
{
    // A folder its owner may not write to (made read-only, say) is opened up first: what is in
    // it goes too.
    struct stat status;
    if (::fstat(dir, &status) == 0 && (status.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(dir, (status.st_mode | S_IRWXU) & 07777);
    for (const QByteArray &entry : entriesOf(dir))
        removeAt(dir, entry.constData());
}

void removeAt(int at, const char *name)
{
    if (::unlinkat(at, name, 0) == 0 || errno == ENOENT)
        return;
    const Fd dir(openDirAt(at, name));
    if (dir.valid())
        removeBelow(dir.get());
    ::unlinkat(at, name, AT_REMOVEDIR);
}

QByteArray freshDir(int dir, const char *prefix)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray name = prefix + QByteArray::number(qint64(::getpid())) + '-'
            + QByteArray::number(QDateTime::currentMSecsSinceEpoch() + attempt, 36);
        if (::mkdirat(dir, name.constData(), S_IRWXU) == 0)
            return name;
        if (errno != EEXIST)
            break;
    }
    return QByteArray();
}

bool holdFolder(int dir)
{
    return ::flock(dir, LOCK_EX | LOCK_NB) == 0;
}

void sweep(int dir, const char *prefix)
{
    for (const QByteArray &entry : entriesOf(dir)) {
        if (!entry.startsWith(prefix))
            continue;
        const Fd leftover(openDirAt(dir, entry.constData()));
        if (!leftover.valid() || holdFolder(leftover.get()))
            removeAt(dir, entry.constData());
    }
}

} // namespace DescriptorTree
#endif
