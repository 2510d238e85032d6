#include "install/zipcatalog.h"

#include <QtEndian>

#include <algorithm>

namespace {

constexpr quint32 endSignature = 0x06054b50;
constexpr quint32 entrySignature = 0x02014b50;
constexpr qint64 endSize = 22;
constexpr qint64 entrySize = 46;

quint16 u16(const QByteArray &data, qint64 at)
{
    return qFromLittleEndian<quint16>(data.constData() + at);
}

quint32 u32(const QByteArray &data, qint64 at)
{
    return qFromLittleEndian<quint32>(data.constData() + at);
}

} // namespace

bool ZipCatalog::read(const QByteArray &tail, qint64 archiveSize, qint64 *needFrom, QString *error)
{
    *needFrom = -1;
    error->clear();
    m_entries.clear();
    const qint64 tailStart = archiveSize - tail.size();
    qint64 end = tail.size() - endSize;
    while (end >= 0 && u32(tail, end) != endSignature)
        --end;
    if (end < 0 || tailStart < 0) {
        *error = QStringLiteral("No end of central directory");
        return false;
    }
    const quint16 count = u16(tail, end + 10);
    const qint64 directorySize = u32(tail, end + 12);
    const qint64 directory = u32(tail, end + 16);
    if (u16(tail, end + 4) != 0 || u16(tail, end + 6) != 0 || u16(tail, end + 8) != count
        || directory + directorySize > tailStart + end) {
        *error = QStringLiteral("Unsupported or damaged central directory");
        return false;
    }
    if (directory < tailStart) {
        *needFrom = directory;
        return false;
    }
    qint64 at = directory - tailStart;
    for (int i = 0; i < count; ++i) {
        if (at + entrySize > end || u32(tail, at) != entrySignature) {
            *error = QStringLiteral("Damaged central directory");
            return false;
        }
        Entry entry;
        const quint16 madeBy = u16(tail, at + 4);
        entry.flags = u16(tail, at + 8);
        entry.method = u16(tail, at + 10);
        entry.crc32 = u32(tail, at + 16);
        entry.compressedSize = u32(tail, at + 20);
        entry.size = u32(tail, at + 24);
        const qint64 nameLength = u16(tail, at + 28);
        const qint64 extraLength = u16(tail, at + 30);
        const qint64 commentLength = u16(tail, at + 32);
        if ((madeBy >> 8) == 3)
            entry.mode = u32(tail, at + 38) >> 16;
        entry.headerOffset = u32(tail, at + 42);
        entry.name = tail.mid(at + entrySize, nameLength);
        entry.directory = entry.name.endsWith('/');
        at += entrySize + nameLength + extraLength + commentLength;
        m_entries.append(entry);
    }
    QList<Entry *> order;
    for (Entry &entry : m_entries)
        order.append(&entry);
    std::sort(order.begin(), order.end(),
              [](const Entry *a, const Entry *b) { return a->headerOffset < b->headerOffset; });
    for (qsizetype i = 0; i < order.size(); ++i) {
        order[i]->spanEnd = i + 1 < order.size() ? order[i + 1]->headerOffset : directory;
        if (order[i]->spanEnd - order[i]->headerOffset < 30 + order[i]->compressedSize) {
            *error = QStringLiteral("Overlapping entries");
            m_entries.clear();
            return false;
        }
    }
    m_archiveSize = archiveSize;
    m_directoryOffset = directory;
    return true;
}
