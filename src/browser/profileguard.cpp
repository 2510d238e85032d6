#include "browser/profileguard.h"

#include "browser/browserlauncher.h"
#include "browser/profilesnapshots.h"
#include "common/updatelog.h"

#include <QtConcurrent/QtConcurrentRun>

#include <utility>

ProfileGuard::ProfileGuard(QObject *parent)
    : ProfileGuard(InstallRoot(InstallRoot::defaultPath()), parent)
{
}

ProfileGuard::ProfileGuard(const InstallRoot &root, QObject *parent)
    : QObject(parent)
    , m_root(root)
{
    connect(&m_protecting, &QFutureWatcher<bool>::finished, this, [this] {
        const bool taken = m_protecting.result();
        m_protectRunning = false;
        if (std::exchange(m_protectAgain, false))
            startProtect();
        emit protectDone(taken);
    });
    connect(&m_restoring, &QFutureWatcher<QString>::finished, this, [this] {
        const QString error = m_restoring.result();
        const int build = std::exchange(m_restoringBuild, -1);
        emit restoringChanged();
        emit restored(build, error);
        // The switch waits for the restore, and still only to the build that was asked about.
        const bool toStart = std::exchange(m_restoreToStart, false);
        if (error.isEmpty() && toStart)
            emit startNow(build);
        else if (error.isEmpty())
            emit switchTo(build);
    });
    connect(&m_beforeStart, &QFutureWatcher<bool>::finished, this,
            [this] { emit startNow(std::exchange(m_startingBuild, -1)); });
    // A restore cut short when Tarrowin last ran is undone before anything else looks at
    // the profile.
    m_protectRunning = true;
    m_protecting.setFuture(QtConcurrent::run([root = m_root, profile = BrowserLauncher::profile()] {
        recover(ProfileSnapshots(root, profile));
        return false;
    }));
}

ProfileGuard::~ProfileGuard()
{
    m_cancel = true;
    m_protecting.waitForFinished();
    m_restoring.waitForFinished();
    m_beforeStart.waitForFinished();
}

bool ProfileGuard::protect(const InstallRoot &root, const QString &profile,
                           const std::atomic<bool> *cancel, int build)
{
    const ProfileSnapshots snapshots(root, profile);
    // `Last Version` may be a restore's that was cut short.
    recover(snapshots);
    const int current = build == -1 ? root.currentBuild() : build;
    const int written = snapshots.profileMilestone();
    if (current == -1 || written == -1 || snapshots.buildMilestone(current) <= written
        || snapshots.profileHeld())
        return false;
    QString error;
    if (!snapshots.take(&error, cancel)) {
        qCWarning(lcUpdate).noquote() << "No snapshot of the profile:" << error;
        return false;
    }
    qCInfo(lcUpdate) << "Snapshot of the profile as Chromium" << written << "left it";
    return true;
}

void ProfileGuard::recover(const ProfileSnapshots &snapshots)
{
    QString error;
    if (!snapshots.rollBack(&error))
        qCWarning(lcUpdate).noquote() << "The profile may be half restored:" << error;
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

bool ProfileGuard::restore(int build)
{
    return restoreFor(build, false);
}

bool ProfileGuard::restoreFor(int build, bool thenStart)
{
    if (restoring())
        return false;
    m_restoringBuild = build;
    m_restoreToStart = thenStart;
    // The settings are read here: only the copying leaves the main thread.
    const ProfileSnapshots snapshots(m_root, BrowserLauncher::profile());
    m_restoring.setFuture(QtConcurrent::run([this, snapshots, build] {
        QString error;
        if (snapshots.restore(snapshots.buildMilestone(build), &error, &m_cancel))
            return QString();
        qCWarning(lcUpdate).noquote() << "The profile was not restored:" << error;
        return tr("The profile was not restored: %1").arg(error);
    }));
    emit restoringChanged();
    return true;
}

void ProfileGuard::buildChanged()
{
    if (m_protectRunning)
        m_protectAgain = true;
    else
        startProtect();
}

void ProfileGuard::startProtect()
{
    m_protectRunning = true;
    m_protecting.setFuture(
        QtConcurrent::run([this, root = m_root, profile = BrowserLauncher::profile()] {
            return protect(root, profile, &m_cancel);
        }));
}

void ProfileGuard::goBack(int previousBuild)
{
    const QString ask = question(previousBuild);
    if (ask.isEmpty()) {
        emit switchTo(previousBuild);
        return;
    }
    m_askedBuild = previousBuild;
    emit asking(previousBuild, ask, restoreLabel(previousBuild));
}

void ProfileGuard::answer(Answer answer, int previousBuild)
{
    const int build = std::exchange(m_askedBuild, -1);
    if (build == -1 || build != previousBuild)
        return;
    if (answer == OpenAnyway)
        emit switchTo(build);
    else
        restore(build);
}

void ProfileGuard::start(int build)
{
    const QString ask = question(build);
    if (!ask.isEmpty()) {
        m_askedStart = build;
        emit askingToStart(build, ask, restoreLabel(build));
        return;
    }
    // One start at a time; a second click while the snapshot runs starts nothing more.
    if (m_beforeStart.isRunning())
        return;
    // A newer milestone rewrites the stores as it opens them: the older one's copy comes first.
    m_startingBuild = build;
    m_beforeStart.setFuture(
        QtConcurrent::run([this, root = m_root, profile = BrowserLauncher::profile(), build] {
            return protect(root, profile, &m_cancel, build);
        }));
}

void ProfileGuard::answerStart(Answer answer)
{
    const int build = std::exchange(m_askedStart, -1);
    if (build == -1)
        return;
    if (answer == OpenAnyway)
        emit startNow(build);
    else
        restoreFor(build, true);
}
