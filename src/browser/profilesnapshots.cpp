#include "browser/profilesnapshots.h"

#include "browser/profilestores.h"
#include "browser/restorejournal.h"
#include "browser/singletonlock.h"
#include "common/descriptortree.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <functional>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace {

struct Text
{
    Q_DECLARE_TR_FUNCTIONS(ProfileSnapshots)
};

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

#ifdef Q_OS_LINUX

using namespace DescriptorTree;

const CopyJob storeJob { ProfileStores::depthLimit };
// A whole profile: far deeper than Chromium goes, still bounded.
constexpr int profileDepthLimit = 32;

// The stores of the user data folder, copied into the empty folder `to`.
bool copyStores(int userData, int to, const CopyJob &job)
{
    for (const char *store : ProfileStores::top) {
        if (!copyEntry(userData, to, store, 0, job))
            return false;
    }
    for (const QByteArray &name : entriesOf(userData)) {
        const Fd profile(openDirAt(userData, name.constData()));
        if (!profile.valid() || !ProfileStores::isProfile(profile.get()))
            continue;
        if (::mkdirat(to, name.constData(), S_IRWXU) != 0 && errno != EEXIST)
            return false;
        const Fd target(openDirAt(to, name.constData()));
        if (!target.valid())
            return false;
        for (const char *store : ProfileStores::perProfile) {
            struct stat status;
            const bool network = std::strcmp(store, ProfileStores::network) == 0;
            if (network && ::fstatat(profile.get(), store, &status, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISDIR(status.st_mode)) {
                if (!copyDir(profile.get(), target.get(), store, 1, ProfileStores::networkCookies,
                             job))
                    return false;
            } else if (!network && !copyEntry(profile.get(), target.get(), store, 1, job)) {
                return false;
            }
        }
        if (::fsync(target.get()) != 0)
            return false;
    }
    return ::fsync(to) == 0;
}

// The stores copied into a new folder of dir, renamed to `name` once whole.
bool writeCopy(int userData, int dir, const QByteArray &name, const CopyJob &job)
{
    const QByteArray partial = freshDir(dir, ".partial-");
    if (partial.isEmpty())
        return false;
    const Fd target(openDirAt(dir, partial.constData()));
    if (!target.valid() || !copyStores(userData, target.get(), job)) {
        removeAt(dir, partial.constData());
        return false;
    }
    // An earlier copy of the same name is swapped out whole, then removed.
    if (::renameat2(dir, partial.constData(), dir, name.constData(), RENAME_EXCHANGE) == 0) {
        removeAt(dir, partial.constData());
    } else if (errno != ENOENT
               || ::renameat(dir, partial.constData(), dir, name.constData()) != 0) {
        removeAt(dir, partial.constData());
        return false;
    }
    return ::fsync(dir) == 0;
}

// Waits for every other take or restore, in this process or another (the launcher's), to end:
// they would copy a profile half put back, or take each other's folders for a crash's leftovers.
// Released when the descriptor closes.
bool lockFolder(int dir)
{
    while (::flock(dir, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Under the lock, what no take or restore is writing: removes the partial copies a crash left,
// anything named kept-* that is no real folder, and all but the newest few kept-aside profiles
// (their names sort by time); `fresh`, just kept aside, always stays. Links are removed, never
// followed.
void tidy(int snapshots, const QByteArray &fresh = QByteArray())
{
    QList<QByteArray> kept;
    for (const QByteArray &entry : entriesOf(snapshots)) {
        struct stat status;
        const bool folder
            = ::fstatat(snapshots, entry.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISDIR(status.st_mode);
        if (entry.startsWith(".partial-") || (entry.startsWith("kept-") && !folder))
            removeAt(snapshots, entry.constData());
        else if (entry.startsWith("kept-") && entry != fresh)
            kept.append(entry);
    }
    std::sort(kept.begin(), kept.end(), std::greater<>());
    for (qsizetype i = ProfileSnapshots::keptAside - (fresh.isEmpty() ? 0 : 1); i < kept.size();
         ++i)
        removeAt(snapshots, kept.at(i).constData());
}

// Every entry of the profile `from` into the fresh folder `into`, held against a sweep; true
// once all of it is on disk.
bool copyEntries(int from, int into, const CopyJob &job)
{
    bool whole = holdFolder(into);
    for (const QByteArray &entry : whole ? entriesOf(from) : QList<QByteArray>()) {
        // The running browser's lock, socket and cookie are no part of the profile.
        if (!entry.startsWith("Singleton"))
            whole = whole && copyEntry(from, into, entry.constData(), 0, job);
    }
    return whole && ::fsync(into) == 0;
}

// The copy in `partial` takes the name `name` when whole; otherwise it goes. A null string when
// it is in place, else why not: empty when the copy itself failed.
QString settle(int parent, const QByteArray &partial, const QByteArray &name, bool whole,
               const QString &source)
{
    // A browser that started from the source meanwhile may have changed it half-way; one that
    // started on the target made a profile of its own there, which stays as it is.
    const bool held = ProfileSnapshots(InstallRoot(), source).profileHeld();
    if (whole && !held && ::renameat(parent, partial.constData(), parent, name.constData()) == 0) {
        ::fsync(parent);
        return QString();
    }
    if (!partial.isEmpty())
        removeAt(parent, partial.constData());
    return held ? Text::tr("Chromium was started from %1").arg(source) : QStringLiteral("");
}

// Why a copy of `needed` bytes does not fit in dir's file system; empty when it does (or when
// that cannot be told), unless `always`.
QString lackOfSpace(int dir, qint64 needed, bool always = false)
{
    struct statvfs space;
    const bool known = ::fstatvfs(dir, &space) == 0;
    const qint64 free = known ? qint64(space.f_bavail) * qint64(space.f_frsize) : 0;
    if (!always && (!known || free >= needed))
        return QString();
    return Text::tr("Not enough space: the copy needs %1 MB, %2 MB are free")
        .arg((needed + 999999) / 1000000)
        .arg(free / 1000000);
}

#endif

} // namespace

ProfileSnapshots::ProfileSnapshots(const InstallRoot &root, const QString &profile)
    : m_root(root)
    , m_profile(profile)
{
}

QString ProfileSnapshots::directory() const
{
    return m_root.path() + QStringLiteral("/profile-snapshots");
}

int ProfileSnapshots::milestone(const QString &version)
{
    static const QRegularExpression pattern(
        QStringLiteral("(?:^|\\s)(\\d{1,6})\\.\\d+\\.\\d+\\.\\d+"));
    const QRegularExpressionMatch match = pattern.match(version);
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}

int ProfileSnapshots::buildMilestone(int build) const
{
    QFile file(m_root.versionPath(build) + QStringLiteral("/.tarrowin-version"));
    return file.open(QIODevice::ReadOnly) ? milestone(QString::fromUtf8(file.read(256))) : -1;
}

QList<int> ProfileSnapshots::milestones() const
{
    QList<int> found;
    const QStringList names = QDir(directory()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        bool number = false;
        const int value = name.toInt(&number);
        if (number && value > 0 && QString::number(value) == name)
            found.append(value);
    }
    std::sort(found.begin(), found.end(), std::greater<>());
    return found;
}

#ifdef Q_OS_LINUX

int ProfileSnapshots::profileMilestone() const
{
    const Fd userData(::open(QFile::encodeName(m_profile), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Fd file(userData.valid() ? ::openat(userData.get(), "Last Version",
                                              O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK)
                                   : -1);
    char text[64] = {};
    const ssize_t length = file.valid() ? ::read(file.get(), text, sizeof text - 1) : -1;
    return length > 0 ? milestone(QString::fromLatin1(text, int(length))) : -1;
}

bool ProfileSnapshots::profileHeld() const
{
    return SingletonLock(m_profile).held();
}

bool ProfileSnapshots::take(QString *error, const std::atomic<bool> *cancel) const
{
    const int milestone = profileMilestone();
    if (milestone == -1)
        return fail(error, Text::tr("The profile names no Chromium version"));
    if (profileHeld())
        return fail(error, Text::tr("Chromium is running"));
    QDir().mkpath(directory());
    const Fd snapshots(
        ::open(QFile::encodeName(directory()), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const Fd userData(::open(QFile::encodeName(m_profile), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!snapshots.valid() || !lockFolder(snapshots.get()))
        return fail(error, Text::tr("Cannot copy the profile to %1").arg(directory()));
    // What a restore or a profile copy left when it crashed, now that none can be under way
    // for this profile (a copy elsewhere holds its folder). Never while a browser runs on it.
    if (profileHeld())
        return fail(error, Text::tr("Chromium is running"));
    const Fd besides(
        ::open(QFile::encodeName(QFileInfo(m_profile).path()), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (besides.valid())
        sweep(besides.get(), ".tarrowin-copy-");
    // A restore cut short is undone first (its kept copy is not yet tidied away): a copy of a
    // mix of two milestones is no snapshot, and `Last Version` may be the restore's.
    if (userData.valid() && !RestoreJournal(userData.get(), snapshots.get()).rollBack(error))
        return false;
    tidy(snapshots.get());
    const QByteArray name = QByteArray::number(profileMilestone());
    if (!userData.valid() || name == "-1"
        || !writeCopy(userData.get(), snapshots.get(), name,
                      { storeJob.depthLimit, nullptr, cancel }))
        return fail(error, Text::tr("Cannot copy the profile to %1").arg(directory()));
    // A browser that started while the copy was made may have changed a store half-way.
    if (profileHeld()) {
        removeAt(snapshots.get(), name.constData());
        return fail(error, Text::tr("Chromium is running"));
    }
    const QList<int> present = milestones();
    for (qsizetype i = kept; i < present.size(); ++i)
        removeAt(snapshots.get(), QByteArray::number(present.at(i)).constData());
    return true;
}

bool ProfileSnapshots::restore(int milestone, QString *error, const std::atomic<bool> *cancel) const
{
    if (profileHeld())
        return fail(error, Text::tr("Quit Chromium first"));
    const Fd snapshots(
        ::open(QFile::encodeName(directory()), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const Fd snapshot(snapshots.valid() && lockFolder(snapshots.get())
                          ? openDirAt(snapshots.get(), QByteArray::number(milestone).constData())
                          : -1);
    const Fd userData(::open(QFile::encodeName(m_profile), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!snapshot.valid() || !userData.valid())
        return fail(error,
                    Text::tr("There is no copy of the profile from Chromium %1").arg(milestone));
    // A restore cut short before is undone first: its kept copy is the profile as it was.
    const RestoreJournal journal(userData.get(), snapshots.get());
    if (!journal.rollBack(error))
        return false;
    const QByteArray keptName = "kept-"
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmsszzz")).toLatin1();
    // Until the stores are kept aside nothing has changed, so a quit may still stop it there.
    if (!writeCopy(userData.get(), snapshots.get(), keptName,
                   { storeJob.depthLimit, nullptr, cancel }))
        return fail(error, Text::tr("Cannot keep the profile aside in %1").arg(directory()));
    tidy(snapshots.get(), keptName);
    if (!journal.begin(keptName))
        return fail(error, Text::tr("Cannot keep the profile aside in %1").arg(directory()));
    if (journal.putStores(snapshot.get()) && journal.finish())
        return true;
    // Half put back is no profile to leave: it goes back as it was.
    if (journal.rollBack())
        return fail(error, Text::tr("Not every store could be restored; the profile is as it was"));
    return fail(error,
                Text::tr("Not every store could be restored; the profile as it was "
                         "is in %1")
                    .arg(directory() + QLatin1Char('/') + QLatin1String(keptName)));
}

bool ProfileSnapshots::rollBack(QString *error) const
{
    const Fd userData(::open(QFile::encodeName(m_profile), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!userData.valid() || !RestoreJournal::pending(userData.get()))
        return true;
    const Fd snapshots(
        ::open(QFile::encodeName(directory()), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!snapshots.valid() || !lockFolder(snapshots.get()))
        return fail(error, Text::tr("Cannot open %1").arg(directory()));
    if (profileHeld())
        return fail(error, Text::tr("Chromium is running"));
    return RestoreJournal(userData.get(), snapshots.get()).rollBack(error);
}

bool ProfileSnapshots::copyProfile(const QString &source, const QString &target,
                                   const std::function<void(qint64, qint64)> &progress,
                                   const std::atomic<bool> &cancel, QString *error)
{
    if (ProfileSnapshots(InstallRoot(), source).profileHeld())
        return fail(error, Text::tr("Chromium is running from %1").arg(source));
    const QFileInfo targetInfo(target);
    QDir().mkpath(targetInfo.path());
    const Fd from(::open(QFile::encodeName(source), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Fd parent(
        ::open(QFile::encodeName(targetInfo.path()), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!from.valid() || !parent.valid())
        return fail(error,
                    Text::tr("Cannot open %1").arg(from.valid() ? targetInfo.path() : source));
    const QByteArray name = QFile::encodeName(targetInfo.fileName());
    struct stat existing;
    if (::fstatat(parent.get(), name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0)
        return fail(error, Text::tr("%1 exists already").arg(target));
    sweep(parent.get(), ".tarrowin-copy-");
    // A copy that fills the disk half-way leaves a full disk and no profile. What it takes is
    // known now (the blocks the source takes: its holes stay holes), so it is said first.
    const qint64 total = treeSize(from.get(), 0, profileDepthLimit);
    if (const QString lack = lackOfSpace(parent.get(), total); !lack.isEmpty())
        return fail(error, lack);
    const QByteArray partial = freshDir(parent.get(), ".tarrowin-copy-");
    const Fd into(partial.isEmpty() ? -1 : openDirAt(parent.get(), partial.constData()));
    qint64 done = 0;
    const std::function<void(qint64)> copied = [&](qint64 bytes) {
        done += bytes;
        progress(done, total);
    };
    const CopyJob job { profileDepthLimit, &copied, &cancel };
    const bool whole = into.valid() && copyEntries(from.get(), into.get(), job);
    const bool full = !whole && errno == ENOSPC;
    const QString why = settle(parent.get(), partial, name, whole, source);
    if (why.isNull())
        return true;
    return fail(error,
                !why.isEmpty() ? why
                    : full     ? lackOfSpace(parent.get(), total, true)
                               : Text::tr("Cannot copy %1 to %2").arg(source, target));
}

#else

bool ProfileSnapshots::copyProfile(const QString &, const QString &,
                                   const std::function<void(qint64, qint64)> &,
                                   const std::atomic<bool> &, QString *error)
{
    return fail(error, Text::tr("Profile copies are not available on this system"));
}

// Elsewhere nothing is copied: there is no way here to copy without following links.
int ProfileSnapshots::profileMilestone() const
{
    return -1;
}

bool ProfileSnapshots::profileHeld() const
{
    return true;
}

bool ProfileSnapshots::take(QString *error, const std::atomic<bool> *) const
{
    return fail(error, Text::tr("Profile snapshots are not available on this system"));
}

bool ProfileSnapshots::restore(int, QString *error, const std::atomic<bool> *) const
{
    return fail(error, Text::tr("Profile snapshots are not available on this system"));
}

bool ProfileSnapshots::rollBack(QString *) const
{
    return true;
}

#endif
