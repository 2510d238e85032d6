#include "shell/mappedpages.h"

#include <QFile>

#include <algorithm>
#include <optional>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

bool MappedPages::releasable(const QByteArray &header, const QByteArrayList &names)
{
    // "start-end perms offset device inode path"
    const QByteArrayList fields = header.simplified().split(' ');
    if (fields.size() < 6 || !fields[5].startsWith('/'))
        return false;
    const QByteArray &perms = fields[1];
    if (perms.size() != 4 || perms[0] != 'r' || perms[1] != '-' || perms[3] != 'p')
        return false;
    for (const QByteArray &name : names) {
        if (fields[5].contains(name))
            return true;
    }
    return false;
}

#ifdef Q_OS_LINUX
namespace {

// The "start-end" a mapping's header line in /proc/self/maps or smaps begins with.
std::optional<std::pair<quintptr, quintptr>> addressRange(const QByteArray &header)
{
    const QByteArray range = header.left(header.indexOf(' '));
    const qsizetype dash = range.indexOf('-');
    bool startOk = false;
    bool endOk = false;
    const quintptr start = range.left(dash).toULongLong(&startOk, 16);
    const quintptr end = range.mid(dash + 1).toULongLong(&endOk, 16);
    if (dash < 0 || !startOk || !endOk || end <= start)
        return std::nullopt;
    return std::pair { start, end };
}

#ifdef MADV_PAGEOUT
void release(const QByteArray &header)
{
    const auto range = addressRange(header);
    if (!range)
        return;
    void *address = reinterpret_cast<void *>(range->first);
    // The kernel pages a file's cache out only for a process that could write the file, never
    // for a person's process and the system's libraries; dropping the mapping's pages is
    // what is left. Both are safe only because nothing of the mapping was ever written (no
    // page of it is anonymous): its contents are the file's, read again at the next use.
    madvise(address, range->second - range->first, MADV_PAGEOUT);
    madvise(address, range->second - range->first, MADV_DONTNEED);
}
#endif

// One word a page in /proc/self/pagemap: bit 63 in memory, bit 61 the file's own page (not a
// copy the program wrote).
constexpr quint64 presentBit = quint64(1) << 63;
constexpr quint64 fileBit = quint64(1) << 61;

// The file pages of [start, end) that are in memory, appended to ranges as runs.
void addResident(int pagemap, quintptr start, quintptr end,
                 QList<std::pair<quintptr, quintptr>> &ranges)
{
    const quintptr page = quintptr(sysconf(_SC_PAGESIZE));
    constexpr quintptr batch = 512;
    QList<quint64> words(batch);
    for (quintptr at = start; at < end; at += batch * page) {
        const quintptr count = std::min(batch, (end - at) / page);
        const off_t offset = off_t(at / page * sizeof(quint64));
        const ssize_t got = pread(pagemap, words.data(), count * sizeof(quint64), offset);
        if (got != ssize_t(count * sizeof(quint64)))
            return;
        for (quintptr i = 0; i < count; ++i) {
            if ((words[i] & (presentBit | fileBit)) != (presentBit | fileBit))
                continue;
            const quintptr address = at + i * page;
            if (!ranges.isEmpty() && ranges.last().second == address)
                ranges.last().second = address + page;
            else
                ranges.append({ address, address + page });
        }
    }
}

// The address ranges of private, never-written file mappings, from /proc/self/maps.
QList<std::pair<quintptr, quintptr>> cleanFileMappings()
{
    QList<std::pair<quintptr, quintptr>> mappings;
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly | QIODevice::Text))
        return mappings;
    const QByteArrayList lines = maps.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!MappedPages::releasable(line, { QByteArrayLiteral("/") }))
            continue;
        if (const auto range = addressRange(line))
            mappings.append(*range);
    }
    return mappings;
}

} // namespace
#endif

void MappedPages::releaseWindowCode()
{
#if defined(Q_OS_LINUX) && defined(MADV_PAGEOUT)
    // The scene, the controls and the QML plugins they loaded, and the OpenGL libraries Qt
    // Gui links although the software renderer never calls them; the engine's own library
    // and what the program's objects use stay.
    static const QByteArrayList names { "/libQt6Quick",   "/qml/QtQuick",  "/libQt6OpenGL",
                                        "/libGLdispatch", "/libOpenGL.so", "/libGLX" };
    QFile smaps(QStringLiteral("/proc/self/smaps"));
    if (!smaps.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    // Read whole before any advice, which could change the list while it is read.
    const QByteArrayList lines = smaps.readAll().split('\n');
    QByteArray candidate;
    for (const QByteArray &line : lines) {
        // A mapping's header begins with its address range; its details with a name and ':'.
        const QByteArray first = line.left(line.indexOf(' '));
        if (first.contains('-') && !first.endsWith(':')) {
            candidate = releasable(line, names) ? line : QByteArray();
        } else if (!candidate.isEmpty() && line.startsWith("Anonymous:")) {
            if (line.mid(10).trimmed().startsWith("0 "))
                release(candidate);
            candidate.clear();
        }
    }
#endif
}

bool MappedPages::contains(quintptr address) const
{
    const auto after
        = std::upper_bound(m_ranges.cbegin(), m_ranges.cend(), address,
                           [](quintptr value, const std::pair<quintptr, quintptr> &range) {
                               return value < range.first;
                           });
    return after != m_ranges.cbegin() && address < std::prev(after)->second;
}

MappedPages MappedPages::resident()
{
    MappedPages pages;
#ifdef Q_OS_LINUX
    const int pagemap = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    if (pagemap < 0)
        return pages;
    for (const auto &[start, end] : cleanFileMappings())
        addResident(pagemap, start, end, pages.m_ranges);
    close(pagemap);
#endif
    return pages;
}

void MappedPages::releaseSince(const MappedPages &before)
{
#ifdef Q_OS_LINUX
    const quintptr page = quintptr(sysconf(_SC_PAGESIZE));
    // Each run is the file's own pages of a mapping the program never writes, read just now:
    // dropping them loses nothing, and a page that was in memory before stays.
    for (const auto &[first, end] : resident().m_ranges) {
        quintptr runStart = first;
        for (quintptr address = first; address <= end; address += page) {
            if (address < end && !before.contains(address))
                continue;
            if (runStart < address)
                madvise(reinterpret_cast<void *>(runStart), address - runStart, MADV_DONTNEED);
            runStart = address + page;
        }
    }
#else
    Q_UNUSED(before);
#endif
}
