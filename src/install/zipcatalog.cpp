#include "install/zipcatalog.h"

#include "install/installtext.h"
#include "install/unpackrules.h"

#include <QtEndian>

#include <algorithm>
#include <numeric>
#include <sys/stat.h>

namespace {

constexpr quint32 endSignature = 0x06054b50;
constexpr quint32 zip64LocatorSignature = 0x07064b50;
constexpr quint32 centralSignature = 0x02014b50;
constexpr qint64 endRecordSize = 22;
constexpr qint64 zip64LocatorSize = 20;
constexpr qint64 centralHeaderSize = 46;
constexpr qint64 localHeaderSize = 30;
constexpr qint64 longestComment = 0xffff;
constexpr quint8 unixHost = 3;
constexpr quint32 dosDirectory = 0x10;

QString damaged(const QString &detail)
{
    return UnpackRules::damaged(detail);
}

quint16 u16(const uchar *at)
{
    return qFromLittleEndian<quint16>(at);
}

quint32 u32(const uchar *at)
{
    return qFromLittleEndian<quint32>(at);
}

// The end record is the last thing in the file: its comment must reach exactly the end,
// which also keeps a signature inside a comment from being taken for it.
qint64 findEndRecord(const uchar *bytes, qint64 size)
{
    for (qint64 at = size - endRecordSize; at >= 0 && at >= size - endRecordSize - longestComment;
         --at) {
        if (u32(bytes + at) == endSignature && at + endRecordSize + u16(bytes + at + 20) == size)
            return at;
    }
    return -1;
}

// The archive's last bytes, and where in the archive they begin.
struct Tail
{
    const uchar *bytes = nullptr;
    qint64 size = 0;
    qint64 start = 0;
};

struct Directory
{
    qint64 end = 0; // where in the tail the end record begins
    qint64 count = 0;
    qint64 offset = 0; // where in the archive the directory begins
};

// What the end record says of the directory, refused when it is not a single-disk, non-ZIP64
// directory ending right where the record begins.
bool readEndRecord(const Tail &tail, Directory *directory, QString *error)
{
    const uchar *record = tail.bytes + directory->end;
    directory->count = u16(record + 10);
    const qint64 directorySize = u32(record + 12);
    directory->offset = u32(record + 16);
    if ((directory->end >= zip64LocatorSize
         && u32(record - zip64LocatorSize) == zip64LocatorSignature)
        || u16(record + 8) == 0xffff || directory->count == 0xffff || directorySize == 0xffffffff
        || directory->offset == 0xffffffff) {
        *error = UnpackRules::zip64Refused();
        return false;
    }
    if (u16(record + 4) != 0 || u16(record + 6) != 0 || u16(record + 8) != directory->count) {
        *error = damaged(InstallText::tr("it spans several disks"));
        return false;
    }
    if (directory->offset + directorySize != tail.start + directory->end) {
        *error = damaged(InstallText::tr("its central directory is not where it says"));
        return false;
    }
    return true;
}

// Where the directory lies; false with *error set, or with *needFrom set when the tail does
// not reach back far enough.
bool locateDirectory(const Tail &tail, qint64 archiveSize, Directory *directory, qint64 *needFrom,
                     QString *error)
{
    directory->end = findEndRecord(tail.bytes, tail.size);
    if (directory->end < 0) {
        if (tail.start > 0 && tail.size < endRecordSize + longestComment) {
            *needFrom = std::max<qint64>(0, archiveSize - endRecordSize - longestComment);
            return false;
        }
        *error = InstallText::tr("The archive is damaged or not a zip archive: %1")
                     .arg(InstallText::tr("it has no end of central directory"));
        return false;
    }
    if (!readEndRecord(tail, directory, error))
        return false;
    if (directory->offset < tail.start) {
        *needFrom = directory->offset;
        return false;
    }
    return true;
}

// The fields a central header gives its entry as they stand.
void takeFields(const uchar *header, qint64 nameLength, ZipCatalog::Entry *entry)
{
    entry->name
        = QByteArray(reinterpret_cast<const char *>(header) + centralHeaderSize, nameLength);
    entry->flags = u16(header + 8);
    entry->method = u16(header + 10);
    entry->crc32 = u32(header + 16);
    entry->compressedSize = u32(header + 20);
    entry->size = u32(header + 24);
    entry->headerOffset = u32(header + 42);
}

// One central header at `at`, whole before `end`; *length is how far it reaches.
bool readHeader(const uchar *bytes, qint64 at, qint64 end, ZipCatalog::Entry *entry, qint64 *length,
                QString *error)
{
    if (end - at < centralHeaderSize || u32(bytes + at) != centralSignature) {
        *error = damaged(InstallText::tr("its central directory is cut short"));
        return false;
    }
    const uchar *header = bytes + at;
    const qint64 nameLength = u16(header + 28);
    *length = centralHeaderSize + nameLength + u16(header + 30) + u16(header + 32);
    if (end - at < *length) {
        *error = damaged(InstallText::tr("its central directory is cut short"));
        return false;
    }
    takeFields(header, nameLength, entry);
    const quint32 attributes = u32(header + 38);
    if (entry->compressedSize == 0xffffffff || entry->size == 0xffffffff
        || entry->headerOffset == 0xffffffff || u16(header + 34) == 0xffff) {
        *error = UnpackRules::zip64Refused();
        return false;
    }
    if (u16(header + 34) != 0) {
        *error = damaged(InstallText::tr("it spans several disks"));
        return false;
    }
    if (entry->name.isEmpty()) {
        *error = InstallText::tr("The archive contains an entry without a usable name");
        return false;
    }
    if (u16(header + 4) >> 8 == unixHost)
        entry->mode = attributes >> 16;
    entry->directory = entry->name.endsWith('/') || S_ISDIR(entry->mode)
        || (entry->mode == 0 && (attributes & dosDirectory));
    return true;
}

// Each entry owns the bytes up to the next one in file order: once they are in, it can be
// unpacked. Entries that share or overlap bytes could unpack one stream as two files.
bool assignSpans(QList<ZipCatalog::Entry> &entries, qint64 directoryOffset, QString *error)
{
    QList<qsizetype> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&entries](qsizetype a, qsizetype b) {
        return entries[a].headerOffset < entries[b].headerOffset;
    });
    for (qsizetype i = 0; i < order.size(); ++i) {
        ZipCatalog::Entry &entry = entries[order[i]];
        entry.spanEnd = i + 1 < order.size() ? entries[order[i + 1]].headerOffset : directoryOffset;
        if (entry.headerOffset >= directoryOffset) {
            *error = damaged(InstallText::tr("an entry lies beyond the central directory"));
            return false;
        }
        if (entry.spanEnd == entry.headerOffset) {
            *error = damaged(InstallText::tr("two entries begin at the same offset"));
            return false;
        }
        if (entry.spanEnd - entry.headerOffset
            < localHeaderSize + entry.name.size() + entry.compressedSize) {
            *error = damaged(InstallText::tr("entries overlap"));
            return false;
        }
    }
    return true;
}

} // namespace

bool ZipCatalog::read(const QByteArray &tail, qint64 archiveSize, qint64 *needFrom, QString *error)
{
    m_entries.clear();
    m_archiveSize = archiveSize;
    m_directoryOffset = 0;
    *needFrom = -1;
    error->clear();
    const Tail last { reinterpret_cast<const uchar *>(tail.constData()), tail.size(),
                      archiveSize - tail.size() };
    if (last.start < 0) {
        *error = damaged(InstallText::tr("it is shorter than its last bytes"));
        return false;
    }
    Directory directory;
    if (!locateDirectory(last, archiveSize, &directory, needFrom, error))
        return false;

    // Every header whole and inside the directory, and the directory nothing but headers.
    QList<Entry> entries;
    entries.reserve(directory.count);
    qint64 at = directory.offset - last.start;
    for (qint64 i = 0; i < directory.count; ++i) {
        Entry entry;
        qint64 length = 0;
        if (!readHeader(last.bytes, at, directory.end, &entry, &length, error))
            return false;
        entries.append(entry);
        at += length;
    }
    if (at != directory.end) {
        *error = damaged(InstallText::tr("its central directory holds more than its entries"));
        return false;
    }
    if (!assignSpans(entries, directory.offset, error))
        return false;
    m_entries = entries;
    m_directoryOffset = directory.offset;
    return true;
}
