#include "install/profilesnapshots.h"

#include "install/descriptortree.h"
#include "install/singletonlock.h"

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

const char *const topStores[] = { "Local State", "Last Version" };
const char *const profileStores[]
    = { "Preferences", "Secure Preferences", "History",  "Favicons", "Top Sites", "Bookmarks",
        "Sessions",    "Login Data",         "Web Data", "Cookies",  "Network" };
// Of Network/ only the cookies are a store; the rest is the network service's cache.
const char networkCookies[] = "Cookies";
// How deep a copy goes, what it reports, and what stops it.
struct CopyJob
{
    int depthLimit = 0;
    const std::function<void(qint64)> *copied = nullptr;
    const std::atomic<bool> *cancel = nullptr;
    bool cancelled() const { return cancel && cancel->load(); }
};

using namespace DescriptorTree;

// Deep enough for every store folder Chromium keeps; a deeper tree is no store of ours.
const CopyJob storeJob { 4 };
// A whole profile: far deeper than Chromium goes, still bounded.
constexpr int profileDepthLimit = 32;

bool copyEntry(int from, int to, const char *name, int depth, const CopyJob &job = storeJob);

bool copyFile(int from, int to, const char *name, const CopyJob &job)
{
    const Fd in(::openat(from, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat status;
    if (!in.valid() || ::fstat(in.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    const Fd out(::openat(to, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          S_IRUSR | S_IWUSR));
    if (!out.valid())
        return false;
    char buffer[65536];
    for (;;) {
        if (job.cancelled())
            return false;
        const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = ::write(out.get(), buffer + written, size_t(got - written));
            if (put < 0 && errno != EINTR)
                return false;
            written += std::max<ssize_t>(put, 0);
        }
        if (job.copied)
            (*job.copied)(got);
    }
    return ::fsync(out.get()) == 0;
}

bool copyDir(int from, int to, const char *name, int depth, const char *only = nullptr,
             const CopyJob &job = storeJob)
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

// A regular file or a folder of them, copied; a link or a special file is left out, never
// followed. An entry that is not there is nothing to copy.
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

// Whether the folder is a browser profile: a real folder with a real Preferences file.
bool isProfileDir(int userData, const char *name)
{
    const Fd dir(openDirAt(userData, name));
    struct stat status;
    return dir.valid() && ::fstatat(dir.get(), "Preferences", &status, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(status.st_mode);
}

// The stores of the user data folder, copied into the empty folder `to`.
bool copyStores(int userData, int to, const CopyJob &job)
{
    for (const char *store : topStores) {
        if (!copyEntry(userData, to, store, 0, job))
            return false;
    }
    for (const QByteArray &name : entriesOf(userData)) {
        if (!isProfileDir(userData, name.constData()))
            continue;
        const Fd profile(openDirAt(userData, name.constData()));
        if (!profile.valid() || (::mkdirat(to, name.constData(), S_IRWXU) != 0 && errno != EEXIST))
            return false;
        const Fd target(openDirAt(to, name.constData()));
        if (!target.valid())
            return false;
        for (const char *store : profileStores) {
            struct stat status;
            const bool network = std::strcmp(store, "Network") == 0;
            if (network && ::fstatat(profile.get(), store, &status, AT_SYMLINK_NOFOLLOW) == 0
                && S_ISDIR(status.st_mode)) {
                if (!copyDir(profile.get(), target.get(), store, 1, networkCookies, job))
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

// The bytes of the regular files below a folder, as copyEntry would copy them.
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

// Puts one entry of the snapshot folder `from` in place of the profile's: copied beside it
// under a fresh name, then renamed over it (a link there is replaced, never written through).
// An entry the snapshot lacks is removed.
bool putBack(int from, int to, const char *name)
{
    struct stat status;
    if (::fstatat(from, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        const bool absent = errno == ENOENT;
        if (absent)
            removeAt(to, name);
        return absent;
    }
    const QByteArray fresh = freshDir(to, ".tarrowin-restore-");
    const Fd holder(fresh.isEmpty() ? -1 : openDirAt(to, fresh.constData()));
    bool placed
        = holder.valid() && holdFolder(holder.get()) && copyEntry(from, holder.get(), name, 1);
    if (placed) {
        // A folder cannot be renamed over a folder that has entries: it goes first.
        struct stat existing;
        if (::fstatat(to, name, &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode))
            removeAt(to, name);
        placed = ::renameat(holder.get(), name, to, name) == 0;
    }
    if (!fresh.isEmpty())
        removeAt(to, fresh.constData());
    return placed;
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
    tidy(snapshots.get());
    // What a restore or a profile copy left when it crashed, now that none can be under way
    // for this profile (a copy elsewhere holds its folder). Never while a browser runs on it.
    const Fd besides(
        ::open(QFile::encodeName(QFileInfo(m_profile).path()), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (userData.valid() && besides.valid() && !profileHeld()) {
        sweep(userData.get(), ".tarrowin-restore-");
        sweep(besides.get(), ".tarrowin-copy-");
    }
    if (!userData.valid()
        || !writeCopy(userData.get(), snapshots.get(), QByteArray::number(milestone),
                      { storeJob.depthLimit, nullptr, cancel }))
        return fail(error, Text::tr("Cannot copy the profile to %1").arg(directory()));
    // A browser that started while the copy was made may have changed a store half-way.
    if (profileHeld()) {
        removeAt(snapshots.get(), QByteArray::number(milestone).constData());
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
    const QByteArray keptName = "kept-"
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmsszzz")).toLatin1();
    // Until the stores are kept aside nothing has changed, so a quit may still stop it there.
    if (!writeCopy(userData.get(), snapshots.get(), keptName,
                   { storeJob.depthLimit, nullptr, cancel }))
        return fail(error, Text::tr("Cannot keep the profile aside in %1").arg(directory()));
    tidy(snapshots.get(), keptName);

    bool whole = true;
    for (const char *store : topStores)
        whole = putBack(snapshot.get(), userData.get(), store) && whole;
    for (const QByteArray &name : entriesOf(userData.get())) {
        if (!isProfileDir(userData.get(), name.constData()))
            continue;
        const Fd saved(openDirAt(snapshot.get(), name.constData()));
        const Fd profile(openDirAt(userData.get(), name.constData()));
        // A profile made since the snapshot keeps its stores: there is nothing older for it.
        if (!saved.valid() || !profile.valid())
            continue;
        for (const char *store : profileStores) {
            if (std::strcmp(store, "Network") != 0) {
                whole = putBack(saved.get(), profile.get(), store) && whole;
                continue;
            }
            // Only the cookies in Network/ are a store: the rest of it stays as it is.
            ::mkdirat(profile.get(), store, S_IRWXU);
            const Fd savedNetwork(openDirAt(saved.get(), store));
            const Fd network(openDirAt(profile.get(), store));
            if (savedNetwork.valid() && network.valid())
                whole = putBack(savedNetwork.get(), network.get(), networkCookies) && whole;
            else if (network.valid())
                removeAt(network.get(), networkCookies);
        }
        whole = ::fsync(profile.get()) == 0 && whole;
    }
    whole = ::fsync(userData.get()) == 0 && whole;
    if (!whole)
        return fail(error,
                    Text::tr("Not every store could be restored; the profile as it was "
                             "is in %1")
                        .arg(directory() + QLatin1Char('/') + QLatin1String(keptName)));
    return true;
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
    const QByteArray partial = freshDir(parent.get(), ".tarrowin-copy-");
    const Fd into(partial.isEmpty() ? -1 : openDirAt(parent.get(), partial.constData()));
    const qint64 total = treeSize(from.get(), 0, profileDepthLimit);
    qint64 done = 0;
    const std::function<void(qint64)> copied = [&](qint64 bytes) {
        done += bytes;
        progress(done, total);
    };
    const CopyJob job { profileDepthLimit, &copied, &cancel };
    bool whole = into.valid() && holdFolder(into.get());
    for (const QByteArray &entry : whole ? entriesOf(from.get()) : QList<QByteArray>()) {
        // The running browser's lock, socket and cookie are no part of the profile.
        if (!entry.startsWith("Singleton"))
            whole = whole && copyEntry(from.get(), into.get(), entry.constData(), 0, job);
    }
    whole = whole && ::fsync(into.get()) == 0;
    // A browser that started from the source meanwhile may have changed it half-way; one that
    // started on the target made a profile of its own there, which stays as it is.
    const bool held = ProfileSnapshots(InstallRoot(), source).profileHeld();
    if (!whole || held
        || ::renameat(parent.get(), partial.constData(), parent.get(), name.constData()) != 0) {
        if (!partial.isEmpty())
            removeAt(parent.get(), partial.constData());
        return fail(error,
                    held ? Text::tr("Chromium was started from %1").arg(source)
                         : Text::tr("Cannot copy %1 to %2").arg(source, target));
    }
    ::fsync(parent.get());
    return true;
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

#endif
