#include "install/keptversions.h"

#include "common/runningexecutables.h"
#include "common/updatelog.h"
#include "install/buildretention.h"
#include "install/installroot.h"
#include "install/treeremoval.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

struct Text
{
    Q_DECLARE_TR_FUNCTIONS(KeptVersions)
};

// A build's directory is named by its number alone, as activate() names it.
int buildOf(const QString &name)
{
    bool ok = false;
    const int build = name.toInt(&ok);
    return ok && build > 0 && QString::number(build) == name ? build : -1;
}

QFileInfoList versionEntries(const InstallRoot &root)
{
    return QDir(root.path() + QStringLiteral("/versions"))
        .entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

KeptVersions::KeptVersions(const InstallRoot &root, const QString &procRoot)
    : m_root(root)
    , m_procRoot(procRoot)
{
}

QList<int> KeptVersions::installed() const
{
    QList<int> builds;
    for (const QFileInfo &entry : versionEntries(m_root)) {
        const int build = buildOf(entry.fileName());
        if (build > 0 && entry.isDir() && !entry.isSymLink())
            builds.append(build);
    }
    std::sort(builds.begin(), builds.end());
    return builds;
}

bool KeptVersions::inUse(int build) const
{
    return RunningExecutables::anyInside(m_root.versionPath(build), m_procRoot);
}

qint64 KeptVersions::sizeOnDisk(int build) const
{
    return installed().contains(build) ? diskUsage(m_root.versionPath(build)) : -1;
}

qint64 KeptVersions::diskUsage(const QString &path)
{
    qint64 total = 0;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString file = it.next();
#ifdef Q_OS_UNIX
        // Blocks, as du counts them: sparse files and links take what they take.
        struct stat status;
        if (::lstat(QFile::encodeName(file).constData(), &status) == 0)
            total += qint64(status.st_blocks) * 512;
#else
        total += it.fileInfo().isSymLink() ? 0 : it.fileInfo().size();
#endif
    }
    return total;
}

bool KeptVersions::remove(int build, QString *error) const
{
    const auto refuse = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!installed().contains(build))
        return refuse(Text::tr("Build %1 is not installed").arg(build));
    if (build == m_root.currentBuild())
        return refuse(Text::tr("Build %1 is current: make another build current first").arg(build));
    if (inUse(build))
        return refuse(Text::tr("Build %1 is in use by a running browser").arg(build));
    if (!TreeRemoval::removeLater(m_root.versionPath(build)))
        return refuse(Text::tr("Could not remove all of %1").arg(m_root.versionPath(build)));
    BuildPins::setPinned(build, false);
    return true;
}

void KeptVersions::sweep() const
{
#ifdef Q_OS_UNIX
    BuildRetention::Builds builds {
        installed(), m_root.currentBuild(), m_root.previousBuild(), BuildPins::pinned(), {}
    };
    for (const int build : std::as_const(builds.installed)) {
        if (inUse(build))
            builds.inUse.append(build);
    }
    const QList<int> unwanted = BuildRetention::toRemove(builds, BuildPins::keepCount());
    for (const QFileInfo &entry : versionEntries(m_root)) {
        // Only directories are versions; whatever else lies here is not ours to judge. One
        // being removed is on its way; what a removal cut short is swept at the next start.
        const int build = buildOf(entry.fileName());
        if ((build > 0 && !unwanted.contains(build)) || entry.isSymLink() || !entry.isDir()
            || entry.fileName().startsWith(QLatin1String(TreeRemoval::prefix)))
            continue;
        // A browser whose files vanish crashes.
        if (build < 0 && RunningExecutables::anyInside(entry.absoluteFilePath(), m_procRoot))
            continue;
        // A build is hundreds of megabytes: moved aside here, removed on a pool thread.
        if (!TreeRemoval::removeLater(entry.absoluteFilePath()))
            qCWarning(lcUpdate) << "Could not remove all of" << entry.absoluteFilePath();
    }
#endif
}
