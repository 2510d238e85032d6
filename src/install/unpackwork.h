#pragma once

#include "install/archiveunpacker.h"
#include "install/unpackrules.h"
#include "install/zipcatalog.h"

#include <QMutex>

#include <atomic>
#include <functional>

// The unpacking of one zip archive listed by its catalog into one fresh folder, entry by
// entry: every entry is checked before anything is written, then each can be unpacked on any
// thread, at the same time as others, in any order. Entries are read with pread from a
// descriptor of the archive and written with *at() calls below a descriptor of the folder,
// opened with O_NOFOLLOW and O_EXCL, so nothing can lead a write outside it or onto a file
// that was already there.
class UnpackWork
{
public:
    // archive: a descriptor this takes over.
    UnpackWork(int archive, const ZipCatalog &catalog, const QString &topFolder,
               const ArchiveUnpacker::Limits &limits, const std::atomic<bool> *cancel = nullptr);
    UnpackWork(const UnpackWork &) = delete;
    UnpackWork &operator=(const UnpackWork &) = delete;

    const ZipCatalog &catalog() const { return m_catalog; }
    qint64 entries() const { return m_catalog.entries().size(); }
    qint64 bytes() const { return m_bytes.load(std::memory_order_relaxed); }

    // Checks every entry against the rules and limits and the free space for what they
    // declare, then creates `destination`. Empty when it did; otherwise nothing was written.
    QString prepare(const QString &destination);
    // Waits until bytes [from, to) of the archive are in the file; false when stopped first.
    using Arrival = std::function<bool(qint64 from, qint64 to)>;

    // Unpacks one entry; any thread. Empty when it is whole and its checksum matches. With
    // `arrival`, the entry is read while it is still being written: every read first waits
    // for its bytes.
    QString unpackEntry(qsizetype index, const Arrival &arrival = {});
    // Unpacks every entry on up to `threads` threads, this one among them, and waits.
    QString unpackAll(int threads);
    // Starts every file on its way to the disk while it is written, so that the sync of the
    // whole tree before it is used has little left. Before the first entry.
    void startWriteback() { m_writeback = true; }
    // The finished tree's last check.
    QString conclude() const;
    // Stops every entry between two blocks.
    void stop() { m_stop.store(true, std::memory_order_relaxed); }
    // Keeps the first failure of any worker and stops the others: theirs only say they
    // were stopped.
    void fail(const QString &error);
    QString failure() const;
    bool stopped() const;
    // Removes what was written, and the destination itself.
    void removeTree();
    // Lets go of the tree for the caller to remove: its path, empty when there is none (not
    // made, or removed already).
    QString releaseTree();

private:
    QString checkLocalHeader(const ZipCatalog::Entry &entry, const Arrival &arrival,
                             qint64 *data) const;
    QString createFile(const QByteArray &relative, quint32 mode, UnpackRules::Descriptor *file);
    QString folder(const QByteArray &relative, UnpackRules::Descriptor *fd);
    QString readAt(char *buffer, qint64 length, qint64 offset, const QByteArray &name,
                   const Arrival &arrival) const;
    QString writeOut(int fd, const char *data, qint64 length, const QByteArray &name);
    void writeBack(int fd, qint64 written, qint64 *pushed) const;
    QString copyStored(const ZipCatalog::Entry &entry, qint64 data, int file,
                       const QByteArray &shown, const Arrival &arrival, quint32 *crc);
    struct Inflation;
    QString inflateRound(Inflation &inflation, const ZipCatalog::Entry &entry, qint64 data,
                         int file, const QByteArray &shown, const Arrival &arrival);
    QString inflateDeflated(const ZipCatalog::Entry &entry, qint64 data, int file,
                            const QByteArray &shown, const Arrival &arrival, quint32 *crc);

    UnpackRules::Descriptor m_archive;
    UnpackRules::Descriptor m_root;
    ZipCatalog m_catalog;
    QString m_topFolder;
    ArchiveUnpacker::Limits m_limits;
    const std::atomic<bool> *m_cancel;
    QByteArray m_destination;
    QList<UnpackRules::Checked> m_checked;
    mutable QMutex m_failureLock;
    QString m_failure;
    std::atomic<bool> m_stop { false };
    std::atomic<qint64> m_bytes { 0 };
    bool m_writeback = false;
};
