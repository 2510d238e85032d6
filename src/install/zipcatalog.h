#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The entries of a zip archive as its central directory lists them, read from the archive's
// last bytes, so that entries can be unpacked while the rest of the archive is still arriving.
// It parses only; the rules an entry must pass are the unpacker's.
class ZipCatalog
{
public:
    struct Entry
    {
        QByteArray name;
        // Where its local header begins, and where the next entry's (or the directory) does:
        // once [headerOffset, spanEnd) is in the file, the entry can be unpacked.
        qint64 headerOffset = 0;
        qint64 spanEnd = 0;
        qint64 compressedSize = 0;
        qint64 size = 0;
        quint32 crc32 = 0;
        quint16 method = 0; // 0 stored, 8 deflated; others are refused by the unpacker
        quint16 flags = 0;
        // The Unix st_mode from the external attributes; 0 when the archive was not made on Unix.
        quint32 mode = 0;
        bool directory = false;
    };

    // What to ask for first: the end record and the whole directory of a build archive of a
    // few hundred entries; a larger one takes a second read. It is all that an uncut install
    // fetches twice.
    static constexpr qint64 tailSize = 64 * 1024;

    // Reads the catalog from `tail`, the last tail.size() bytes of an archive of archiveSize
    // bytes. False with *error set when it is not a zip archive this reader takes (damaged,
    // multi-disk, ZIP64, overlapping entries, ...); false with *error empty and *needFrom set
    // when the directory begins before the tail: read again from *needFrom.
    bool read(const QByteArray &tail, qint64 archiveSize, qint64 *needFrom, QString *error);

    const QList<Entry> &entries() const { return m_entries; }
    qint64 archiveSize() const { return m_archiveSize; }
    // Where the central directory begins: every entry's bytes lie before it.
    qint64 directoryOffset() const { return m_directoryOffset; }

private:
    QList<Entry> m_entries;
    qint64 m_archiveSize = 0;
    qint64 m_directoryOffset = 0;
};
