#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QList>

#include <utility>

// The clean, file-backed pages of code and read-only data a program keeps mapped although it
// no longer runs them: given back, and read again from their files (or the page cache) when
// they are next used.
class MappedPages
{
public:
    // Whether the header line of a mapping in /proc/self/smaps names a private mapping that is
    // never written (readable, maybe executable) of a file whose path contains one of the names.
    static bool releasable(const QByteArray &header, const QByteArrayList &names);

    // The libraries and QML plugins only a window uses. Linux only; failure is ignored.
    static void releaseWindowCode();

    // The pages of never-written file mappings that are in memory now and still the file's
    // own (a page the program changed is anonymous, and never counted here).
    static MappedPages resident();
    // Gives back every such page that is in memory now but was not when `before` was taken:
    // what has been used since, a window and its fonts and drawing among it, is read again
    // when it is next used.
    static void releaseSince(const MappedPages &before);

    bool contains(quintptr address) const;

private:
    // Sorted, disjoint [first, end) address ranges of whole pages.
    QList<std::pair<quintptr, quintptr>> m_ranges;
};
