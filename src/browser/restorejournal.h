#pragma once

#include <QByteArray>
#include <QString>

// A restore of a profile's stores either ends whole or is undone. Before anything of the profile
// changes, a journal naming the copy of its stores as they were (a kept-* folder beside the
// snapshots) is written whole into the profile; it goes once every store is in place. A journal
// found later means a restore was cut short (a kill, a crash, a power cut) and may have left the
// profile a mix of two milestones: the copy it names is put back, then the journal goes. The
// launcher looks for it too, so the browser never starts on such a mix.
//
// Works through descriptors the caller opened, under the snapshots folder's lock, while no
// browser holds the profile.
class RestoreJournal
{
public:
    // userData: the profile (user data folder); snapshots: the folder the kept copies are in.
    RestoreJournal(int userData, int snapshots);

    static constexpr char fileName[] = ".tarrowin-journal";

    // Writes the journal naming the kept copy, synced: from here on a restore cut short is undone.
    bool begin(const QByteArray &kept) const;
    // The stores of the snapshot folder `from` in place of the profile's, each whole; a store the
    // snapshot lacks is removed. False when one could not be put in place.
    bool putStores(int from) const;
    // Every store is in place: the journal goes.
    bool finish() const;
    // Removes what restores cut short left, in every folder they make copies in, and puts the
    // profile back as the kept copy a journal names has it. True when no restore is cut short
    // any more (none was, or this one is undone); else error says why, and the journal stays
    // for the next try.
    bool rollBack(QString *error = nullptr) const;
    // Whether the profile has a journal: a hint, before taking the lock, that there is work.
    static bool pending(int userData);

    // Test seam: called with a store's name once its copy lies beside it, just before the copy
    // takes the store's place, so that a test can kill a restore right there.
    static void setStoreCopiedSeam(void (*seam)(const char *store));

private:
    bool place(int from, bool undoing) const;

    int m_userData;
    int m_snapshots;
};
