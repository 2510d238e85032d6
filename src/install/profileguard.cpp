#include "install/profileguard.h"

#include "common/updatelog.h"
#include "install/browserlauncher.h"
#include "install/profilesnapshots.h"

ProfileGuard::ProfileGuard(QObject *parent)
    : ProfileGuard(InstallRoot(InstallRoot::defaultPath()), parent)
{
}

ProfileGuard::ProfileGuard(const InstallRoot &root, QObject *parent)
    : QObject(parent)
    , m_root(root)
{
}

bool ProfileGuard::protect(const InstallRoot &root, const QString &profile)
{
    const ProfileSnapshots snapshots(root, profile);
    const int current = root.currentBuild();
    const int written = snapshots.profileMilestone();
    if (current == -1 || written == -1 || snapshots.buildMilestone(current) <= written
        || snapshots.profileHeld())
        return false;
    QString error;
    if (!snapshots.take(&error)) {
        qCWarning(lcUpdate).noquote() << "No snapshot of the profile:" << error;
        return false;
    }
    qCInfo(lcUpdate) << "Snapshot of the profile as Chromium" << written << "left it";
    return true;
}

QString ProfileGuard::question(int build) const
{
    const ProfileSnapshots snapshots(m_root, BrowserLauncher::profile());
    const int written = snapshots.profileMilestone();
    const int older = snapshots.buildMilestone(build);
    if (written == -1 || older == -1 || older >= written)
        return QString();
    return tr("This profile was last used by Chromium %1. Build %2 is Chromium %3.")
        .arg(written)
        .arg(build)
        .arg(older);
}

QString ProfileGuard::restoreLabel(int build) const
{
    const ProfileSnapshots snapshots(m_root, BrowserLauncher::profile());
    const int older = snapshots.buildMilestone(build);
    if (older == -1 || !snapshots.milestones().contains(older))
        return QString();
    return tr("Restore the profile from Chromium %1").arg(older);
}

QString ProfileGuard::restore(int build) const
{
    const ProfileSnapshots snapshots(m_root, BrowserLauncher::profile());
    QString error;
    if (snapshots.restore(snapshots.buildMilestone(build), &error))
        return QString();
    qCWarning(lcUpdate).noquote() << "The profile was not restored:" << error;
    return tr("The profile was not restored: %1").arg(error);
}

void ProfileGuard::buildChanged() const
{
    protect(m_root, BrowserLauncher::profile());
}
