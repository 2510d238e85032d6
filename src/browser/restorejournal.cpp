#include "browser/restorejournal.h"

#include "browser/profilestores.h"
#include "common/descriptortree.h"
#include "common/updatelog.h"

#include <QCoreApplication>

#ifdef Q_OS_LINUX
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Text
{
    Q_DECLARE_TR_FUNCTIONS(RestoreJournal)
};

using namespace DescriptorTree;

// What a restore copies a store to before it takes the store's place; the journal, too, is
// written under such a name first.
const char leftoverPrefix[] = ".tarrowin-restore-";
const char journalDraft[] = ".tarrowin-restore-journal";
const CopyJob storeJob { ProfileStores::depthLimit };

// The one piece of mutable global state here: the test seam called once a store is copied.
void (*storeCopied)(const char *store) = nullptr;

bool fail(QString *error, const QString &message)
{
    if (error)
        *error = message;
    return false;
}

// Puts one entry of the folder `from` in place of the profile's: copied beside it under a
// fresh name, then renamed over it (a link there is replaced, never written through). An
// entry `from` lacks is removed.
bool putBack(int from, int to, const char *name)
{
    struct stat status;
    if (::fstatat(from, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        const bool absent = errno == ENOENT;
        if (absent)
            removeAt(to, name);
        return absent;
    }
    const QByteArray fresh = freshDir(to, leftoverPrefix);
    const Fd holder(fresh.isEmpty() ? -1 : openDirAt(to, fresh.constData()));
    bool placed = holder.valid() && holdFolder(holder.get())
        && copyEntry(from, holder.get(), name, 1, storeJob);
    if (placed && storeCopied)
        storeCopied(name);
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

// The stores of one profile folder from the same folder of a copy.
bool placeProfile(int saved, int profile)
{
    bool whole = true;
    for (const char *store : ProfileStores::perProfile) {
        if (std::strcmp(store, ProfileStores::network) != 0) {
            whole = putBack(saved, profile, store) && whole;
            continue;
        }
        // Only the cookies in Network/ are a store: the rest of it stays as it is.
        ::mkdirat(profile, store, S_IRWXU);
        const Fd savedNetwork(openDirAt(saved, store));
        const Fd network(openDirAt(profile, store));
        if (savedNetwork.valid() && network.valid())
            whole = putBack(savedNetwork.get(), network.get(), ProfileStores::networkCookies)
                && whole;
        else if (network.valid())
            removeAt(network.get(), ProfileStores::networkCookies);
        // On disk before the journal goes, as every other store is.
        if (network.valid())
            whole = ::fsync(network.get()) == 0 && whole;
    }
    return ::fsync(profile) == 0 && whole;
}

// A restore copies stores beside the ones they replace: in the user data folder, in each
// profile folder and in its Network/.
void sweepLeftovers(int userData)
{
    sweep(userData, leftoverPrefix);
    for (const QByteArray &name : entriesOf(userData)) {
        const Fd profile(openDirAt(userData, name.constData()));
        const Fd network(profile.valid() ? openDirAt(profile.get(), ProfileStores::network) : -1);
        if (profile.valid())
            sweep(profile.get(), leftoverPrefix);
        if (network.valid())
            sweep(network.get(), leftoverPrefix);
    }
}

// The kept copy the journal names; empty when there is no journal or it names none.
QByteArray journalled(int userData, bool *present)
{
    const Fd file(::openat(userData, RestoreJournal::fileName,
                           O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    *present = file.valid() || errno != ENOENT;
    struct stat status;
    char text[64] = {};
    const ssize_t length
        = file.valid() && ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode)
        ? ::read(file.get(), text, sizeof text - 1)
        : -1;
    const QByteArray name = QByteArray(text, int(std::max<ssize_t>(length, 0))).trimmed();
    // Only what begin() writes: a folder right below the snapshots, never a path.
    const bool kept = name.startsWith("kept-") && name.size() > 5
        && std::all_of(name.cbegin() + 5, name.cend(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
    return kept ? name : QByteArray();
}

} // namespace

RestoreJournal::RestoreJournal(int userData, int snapshots)
    : m_userData(userData)
    , m_snapshots(snapshots)
{
}

void RestoreJournal::setStoreCopiedSeam(void (*seam)(const char *))
{
    storeCopied = seam;
}

bool RestoreJournal::pending(int userData)
{
    struct stat status;
    return ::fstatat(userData, fileName, &status, AT_SYMLINK_NOFOLLOW) == 0;
}

bool RestoreJournal::begin(const QByteArray &kept) const
{
    ::unlinkat(m_userData, journalDraft, 0);
    const Fd draft(::openat(m_userData, journalDraft,
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            S_IRUSR | S_IWUSR));
    const QByteArray text = kept + '\n';
    const bool written = draft.valid()
        && ::write(draft.get(), text.constData(), size_t(text.size())) == text.size()
        && ::fsync(draft.get()) == 0;
    // Renamed into place whole, and in place on disk before any store changes.
    const bool placed = written && ::renameat(m_userData, journalDraft, m_userData, fileName) == 0;
    if (placed && ::fsync(m_userData) == 0)
        return true;
    ::unlinkat(m_userData, placed ? fileName : journalDraft, 0);
    return false;
}

bool RestoreJournal::putStores(int from) const
{
    return place(from, false);
}

bool RestoreJournal::place(int from, bool undoing) const
{
    bool whole = true;
    for (const char *store : ProfileStores::top)
        whole = putBack(from, m_userData, store) && whole;
    for (const QByteArray &name : entriesOf(from)) {
        const Fd saved(openDirAt(from, name.constData()));
        const Fd profile(openDirAt(m_userData, name.constData()));
        // A profile made since the snapshot keeps its stores: there is nothing older for it.
        // Undoing, each profile of the kept copy gets its own back, Preferences or not.
        if (saved.valid() && profile.valid()
            && (undoing || ProfileStores::isProfile(profile.get())))
            whole = placeProfile(saved.get(), profile.get()) && whole;
    }
    return ::fsync(m_userData) == 0 && whole;
}

bool RestoreJournal::finish() const
{
    return (::unlinkat(m_userData, fileName, 0) == 0 || errno == ENOENT)
        && ::fsync(m_userData) == 0;
}

bool RestoreJournal::rollBack(QString *error) const
{
    sweepLeftovers(m_userData);
    bool present = false;
    const QByteArray kept = journalled(m_userData, &present);
    if (!present)
        return true;
    // Nothing begin() wrote, so no restore to undo: only what stands in the journal's place.
    if (kept.isEmpty()) {
        removeAt(m_userData, fileName);
        return ::fsync(m_userData) == 0;
    }
    const QString name = QString::fromLatin1(kept);
    const Fd copy(openDirAt(m_snapshots, kept.constData()));
    if (!copy.valid())
        return fail(error,
                    Text::tr("A restore of the profile was cut short, and the profile as it was "
                             "(%1) is gone")
                        .arg(name));
    if (!place(copy.get(), true) || !finish())
        return fail(error,
                    Text::tr("A restore of the profile was cut short, and the profile could not "
                             "be put back as %1 has it")
                        .arg(name));
    qCInfo(lcUpdate).noquote() << "A restore of the profile cut short was undone from" << name;
    return true;
}

#endif
