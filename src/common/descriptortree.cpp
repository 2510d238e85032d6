#include "common/descriptortree.h"

#ifdef Q_OS_LINUX
#include <QDateTime>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DescriptorTree {

namespace {

bool writeAll(int fd, const char *buffer, ssize_t size, off_t offset)
{
    for (ssize_t written = 0; written < size;) {
        const ssize_t put
            = ::pwrite(fd, buffer + written, size_t(size - written), offset + written);
        if (put < 0 && errno != EINTR)
            return false;
        written += std::max<ssize_t>(put, 0);
    }
    return true;
}

// The bytes of `in` from offset to end, written at the same place in `out`.
bool copyRange(int in, int out, off_t offset, off_t end, const CopyJob &job)
{
    char buffer[65536];
    while (offset < end) {
        if (job.cancelled())
            return false;
        const ssize_t got
            = ::pread(in, buffer, size_t(std::min<off_t>(sizeof buffer, end - offset)), offset);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!writeAll(out, buffer, got, offset))
            return false;
        offset += got;
        if (job.copied)
            (*job.copied)(got);
    }
    return true;
}

// Only the data of `in` is written, its holes are skipped: a sparse file (a 10 GB one that
// holds a few kilobytes) takes no more room in the copy than in the original. Where holes
// cannot be asked for, all of it is data.
bool copyData(int in, int out, off_t size, const CopyJob &job)
{
    for (off_t offset = 0; offset < size;) {
        off_t data = ::lseek(in, offset, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            break;
        off_t hole = data < 0 ? -1 : ::lseek(in, data, SEEK_HOLE);
        if (data < 0 && errno == EINVAL) {
            data = offset;
            hole = size;
        }
        if (data < 0 || hole < 0)
            return false;
        hole = std::min(hole, size);
        if (hole <= data)
            break;
        if (!copyRange(in, out, data, hole, job))
            return false;
        offset = hole;
    }
    return ::ftruncate(out, size) == 0;
}

bool copyFile(int from, int to, const char *name, const CopyJob &job)
{
    const Fd in(::openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat status;
    if (!in.valid() || ::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    const Fd out(::openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR));
    return out.valid() && copyData(in.get(), out.get(), status.st_size, job)
        && ::fsync(out.get()) == 0;
}

} // namespace

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
        if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))
            total += qint64(status.st_blocks) * 512;
        if (S_ISDIR(status.st_mode) && depth + 1 < depthLimit) {
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

bool copyDir(int from, int to, const char *name, int depth, const char *only, const CopyJob &job)
{
    const Fd source(openDirAt(from, name));
    if (!source.valid() || (::mkdirat(to, name, S_IRWXU) != 0 && errno != EEXIST))
        return false;
    const Fd target(openDirAt(to, name));
    if (!target.valid())
        return false;
    for (const QByteArray &entry : entriesOf(source.get())) {
        if ((!only || entry == only)
            && !copyEntry(source.get(), target.get(), entry.constData(), depth + 1, job))
            return false;
    }
    return ::fsync(target.get()) == 0;
}

bool copyEntry(int from, int to, const char *name, int depth, const CopyJob &job)
{
    struct stat status;
    if (::fstatat(from, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (S_ISREG(status.st_mode))
        return copyFile(from, to, name, job);
    if (S_ISDIR(status.st_mode) && depth < job.depthLimit)
        return copyDir(from, to, name, depth, nullptr, job);
    return true;
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
