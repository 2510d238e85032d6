#pragma once

#include "install/installroot.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>

// Copies of the stores a browser profile keeps, one folder per Chromium milestone beside the
// builds (<root>/profile-snapshots/<milestone>), so that going back to an older milestone can
// give it the stores it wrote itself instead of ones it cannot read. The stores are those
// Chromium's own snapshots keep: `Local State` and `Last Version`, and in each profile folder
// Preferences, Secure Preferences, History, Favicons, Top Sites, Bookmarks, Sessions, Login
// Data, Web Data and Cookies (also under Network/, where newer builds keep them).
//
// A person's data: nothing here follows a link inside the profile (every step goes through
// descriptors opened with O_NOFOLLOW, and links are neither copied nor written through), a
// snapshot is written to a private folder, synced and renamed into place whole, and nothing is
// taken or restored while a browser holds the profile (its SingletonLock). A restore ends whole
// or is undone (RestoreJournal).
class ProfileSnapshots
{
public:
    static constexpr int kept = 3;
    // How many copies of the profile as it was before a restore stay.
    static constexpr int keptAside = 3;

    ProfileSnapshots(const InstallRoot &root, const QString &profile);

    // The milestone of a version text ("121.0.6167.85", "Chromium 121.0.6167.85 snapshot");
    // -1 when it names none.
    static int milestone(const QString &version);
    // What `Last Version` of the profile says; -1 when it is missing or unreadable.
    int profileMilestone() const;
    // What the installed build said of itself; -1 when unknown.
    int buildMilestone(int build) const;
    // Whether a browser holds the profile (its SingletonLock names one that runs).
    bool profileHeld() const;
    // The milestones snapshots exist for, newest first.
    QList<int> milestones() const;
    QString directory() const;

    // A snapshot of the stores as `Last Version`'s milestone left them, replacing an earlier
    // one of that milestone; the newest `kept` milestones stay. False, with nothing changed,
    // when the profile is held, names no milestone, a copy fails or cancel was set. Partial
    // copies a crash left behind go first: of snapshots, of stores being put back (in the
    // profile's folders) and of profile copies (beside it); a restore cut short is undone.
    //
    // Takes and restores wait for each other, across processes. Both may run on any thread.
    bool take(QString *error = nullptr, const std::atomic<bool> *cancel = nullptr) const;
    // Puts the snapshot of the milestone back into the profile. The stores as they were go to
    // <root>/profile-snapshots/kept-<time> first, and a store the snapshot lacks is removed
    // from the profile (it is in the kept copy). False when held, without that snapshot, or
    // when the stores could not be kept aside (or cancel was set before they were), or not
    // every store could be put back; then the profile is as it was. The newest `keptAside`
    // such copies stay.
    bool restore(int milestone, QString *error = nullptr,
                 const std::atomic<bool> *cancel = nullptr) const;
    // Undoes a restore that was cut short (a kill, a crash, a power cut) and left the profile
    // a mix of two milestones: it is put back as it was kept aside before. True when there was
    // none, or it is undone; take and restore do this first too.
    bool rollBack(QString *error = nullptr) const;

    // Copies the browser profile in source, all of it but links, to target, which must not
    // exist: built beside it and renamed into place whole. Refused while a browser holds the
    // source, and thrown away when one started meanwhile, and refused when the target's disk
    // lacks the room the source takes (holes are copied as holes). Reports the bytes copied
    // of the total as it goes, from the calling thread; cancel stops it (nothing is left
    // behind).
    // Copies a crash left beside target go first, unless another copy still works in one.
    static bool copyProfile(const QString &source, const QString &target,
                            const std::function<void(qint64, qint64)> &progress,
                            const std::atomic<bool> &cancel, QString *error = nullptr);

private:
    InstallRoot m_root;
    QString m_profile;
};
