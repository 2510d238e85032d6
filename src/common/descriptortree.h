#pragma once

#include <QByteArray>
#include <QList>

#ifdef Q_OS_LINUX
#include <atomic>
#include <functional>
#include <unistd.h>

// Work on a folder tree through descriptors alone: every step is opened below the one before
// without following a link, so what is read, copied or removed is what was checked, whatever
// somebody swaps in meanwhile. For a person's browser profile and its copies.
namespace DescriptorTree {

// A descriptor closed when it goes out of scope.
class Fd
{
public:
    explicit Fd(int fd = -1)
        : m_fd(fd)
    {
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// The folder `name` below `at`, never through a link; -1 when it is none.
int openDirAt(int at, const char *name);
// Every entry of a directory, through the descriptor that was checked.
QList<QByteArray> entriesOf(int dirFd);
// The room the files and folders below dir take on disk (their allocated blocks, so a sparse
// file counts what it holds, not its length), no deeper than depthLimit.
qint64 treeSize(int dir, int depth, int depthLimit);
// Removes a tree below a descriptor without following any link in it.
void removeAt(int at, const char *name);
// Removes everything in the folder dir, the same way; the folder itself stays.
void removeBelow(int dir);
// A fresh private folder in dir whose name starts with prefix; empty when none could be made.
QByteArray freshDir(int dir, const char *prefix);
// Marks a fresh folder as being worked in, for as long as the descriptor stays open, so that
// sweep() leaves it alone. False when a sweep holds it already (and is removing it).
bool holdFolder(int dir);
// Removes what a crash left in dir: every entry whose name starts with prefix, but for
// folders a take, restore or copy still works in (it holds them). Links and anything else
// that is no folder are removed as they are, never followed.
void sweep(int dir, const char *prefix);

// How deep a copy goes, what it reports (the bytes of data copied), and what stops it.
struct CopyJob
{
    int depthLimit = 0;
    const std::function<void(qint64)> *copied = nullptr;
    const std::atomic<bool> *cancel = nullptr;
    bool cancelled() const { return cancel && cancel->load(); }
};
// Copies a regular file or a folder of them from `from` to `to`, synced; a link or a special
// file is left out, never followed, and an entry that is not there is nothing to copy. A file's
// holes stay holes. With `only`, of a folder only that entry is copied. False, with errno set,
// when a copy failed: what was written stays for the caller to remove.
bool copyEntry(int from, int to, const char *name, int depth, const CopyJob &job);
bool copyDir(int from, int to, const char *name, int depth, const char *only, const CopyJob &job);

} // namespace DescriptorTree
#endif
