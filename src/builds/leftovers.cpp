#include "builds/leftovers.h"

#include "common/runningexecutables.h"
#include "common/staginglock.h"

#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

bool ownedByUs(const QFileInfo &info)
{
#ifdef Q_OS_UNIX
    return info.ownerId() == ::getuid();
#else
    // The temporary directory is per user there.
    Q_UNUSED(info)
    return true;
#endif
}

} // namespace

int Leftovers::removeTemporaryDirectories(const QString &tempPath, const QString &procRoot)
{
    if (tempPath.isEmpty())
        return 0;
    int removed = 0;
    // By prefix rather than a name filter, which would map PCRE2 at every start.
    const QFileInfoList entries = QDir(tempPath).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (!entry.fileName().startsWith(QLatin1String("tarrowin-")))
            continue;
        // isSymLink() first: isDir() and ownerId() describe a link's target.
        if (entry.isSymLink() || !entry.isDir() || !ownedByUs(entry))
            continue;
        if (RunningExecutables::anyInside(entry.filePath(), procRoot))
            continue;
        // Another session of this user, with a runtime directory of its own, downloads into
        // it. Held until it is gone, so that nobody starts on it meanwhile.
        const StagingLock lock(entry.filePath());
        if (!lock.isHeld())
            continue;
        // removeRecursively() deletes links inside as links, never what they point at.
        if (QDir(entry.filePath()).removeRecursively())
            ++removed;
    }
    return removed;
}
