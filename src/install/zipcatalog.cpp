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

} // namespace

bool ZipCatalog::read(const QByteArray &tail, qint64 archiveSize, qint64 *needFrom, QString *error)
{
    m_entries.clear();
    m_archiveSize = archiveSize;
    m_directoryOffset = 0;
    *needFrom = -1;
    error->clear();
    const qint64 tailStart = archiveSize - tail.size();
    if (tailStart < 0) {
        *error = damaged(InstallText::tr("it is shorter than its last bytes"));
        return false;
    }
    const auto *bytes = reinterpret_cast<const uchar *>(tail.constData());
    const qint64 size = tail.size();

    // The end record is the last thing in the file: its comment must reach exactly the end,
    // which also keeps a signature inside a comment from being taken for it.
    qint64 end = -1;
    for (qint64 at = size - endRecordSize; at >= 0 && at >= size - endRecordSize - longestComment;
         --at) {
        if (u32(bytes + at) == endSignature && at + endRecordSize + u16(bytes + at + 20) == size) {
            end = at;
            break;
        }
    }
    if (end < 0) {
        if (tailStart > 0 && size < endRecordSize + longestComment) {
            *needFrom = std::max<qint64>(0, archiveSize - endRecordSize - longestComment);
            return false;
        }
        *error = InstallText::tr("The archive is damaged or not a zip archive: %1")
                     .arg(InstallText::tr("it has no end of central directory"));
        return false;
    }
    const uchar *record = bytes + end;
    const qint64 count = u16(record + 10);
    const qint64 directorySize = u32(record + 12);
    const qint64 directoryOffset = u32(record + 16);
    if ((end >= zip64LocatorSize && u32(record - zip64LocatorSize) == zip64LocatorSignature)
        || u16(record + 8) == 0xffff || count == 0xffff || directorySize == 0xffffffff
        || directoryOffset == 0xffffffff) {
        *error = UnpackRules::zip64Refused();
        return false;
    }
    if (u16(record + 4) != 0 || u16(record + 6) != 0 || u16(record + 8) != count) {
        *error = damaged(InstallText::tr("it spans several disks"));
        return false;
    }
    const qint64 endOffset = tailStart + end;
    if (directoryOffset + directorySize != endOffset) {
        *error = damaged(InstallText::tr("its central directory is not where it says"));
        return false;
    }
    if (directoryOffset < tailStart) {
        *needFrom = directoryOffset;
        return false;
    }

    // Every header whole and inside the directory, and the directory nothing but headers.
    QList<Entry> entries;
    entries.reserve(count);
    qint64 at = directoryOffset - tailStart;
    for (qint64 i = 0; i < count; ++i) {
        if (end - at < centralHeaderSize || u32(bytes + at) != centralSignature) {
            *error = damaged(InstallText::tr("its central directory is cut short"));
            return false;
        }
        const uchar *header = bytes + at;
        const qint64 nameLength = u16(header + 28);
        const qint64 headerLength
            = centralHeaderSize + nameLength + u16(header + 30) + u16(header + 32);
        if (end - at < headerLength) {
            *error = damaged(InstallText::tr("its central directory is cut short"));
            return false;
        }
        Entry entry;
        entry.name
            = QByteArray(reinterpret_cast<const char *>(header) + centralHeaderSize, nameLength);
        entry.flags = u16(header + 8);
        entry.method = u16(header + 10);
        entry.crc32 = u32(header + 16);
        entry.compressedSize = u32(header + 20);
        entry.size = u32(header + 24);
        entry.headerOffset = u32(header + 42);
        const quint32 attributes = u32(header + 38);
        if (entry.compressedSize == 0xffffffff || entry.size == 0xffffffff
            || entry.headerOffset == 0xffffffff || u16(header + 34) == 0xffff) {
            *error = UnpackRules::zip64Refused();
            return false;
        }
        if (u16(header + 34) != 0) {
            *error = damaged(InstallText::tr("it spans several disks"));
            return false;
        }
        if (entry.name.isEmpty()) {
            *error = InstallText::tr("The archive contains an entry without a usable name");
            return false;
        }
        if (u16(header + 4) >> 8 == unixHost)
            entry.mode = attributes >> 16;
        entry.directory = entry.name.endsWith('/') || S_ISDIR(entry.mode)
            || (entry.mode == 0 && (attributes & dosDirectory));
        entries.append(entry);
        at += headerLength;
    }
    if (at != end) {
        *error = damaged(InstallText::tr("its central directory holds more than its entries"));
        return false;
    }

    // Each entry owns the bytes up to the next one in file order: once they are in, it can be
    // unpacked. Entries that share or overlap bytes could unpack one stream as two files.
    QList<qsizetype> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&entries](qsizetype a, qsizetype b) {
        return entries[a].headerOffset < entries[b].headerOffset;
    });
    for (qsizetype i = 0; i < order.size(); ++i) {
        Entry &entry = entries[order[i]];
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
    m_entries = entries;
    m_directoryOffset = directoryOffset;
    return true;
}
