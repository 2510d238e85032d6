#include "transfer/partialdownload.h"

#include "common/staginglock.h"
#include "common/updatelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString partName = QStringLiteral("archive.part");
// A record of 33 ranges of a 2 GiB file takes about 2 KiB.
constexpr qint64 recordLimit = 4096;

// The record's bytes, when it is a small regular file of the user's own; otherwise false,
// with the reason in the log. It is read on the GUI thread: a FIFO would block it, and a
// link to a device would have it read without end.
bool readRecord(const QString &path, QByteArray *data)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        qCInfo(lcUpdate) << "Cannot open the resume record" << path << ::strerror(errno);
        return false;
    }
    // What was opened is what is judged and read, whatever the name points at meanwhile.
    struct stat status = {};
    qsizetype length = -1;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::getuid()
        && status.st_size <= recordLimit) {
        data->resize(recordLimit + 1);
        length = 0;
        while (length < data->size()) {
            const ssize_t got = ::read(fd, data->data() + length, size_t(data->size() - length));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            length += got;
        }
        data->truncate(length);
    }
    ::close(fd);
    // Grown past the limit since fstat: no record of ours either.
    if (length < 0 || length > recordLimit) {
        qCInfo(lcUpdate) << "Ignoring the resume record" << path
                         << "as it is not a small regular file of this user's";
        return false;
    }
    return true;
#else
    QFile file(path);
    *data = file.open(QIODevice::ReadOnly) ? file.read(recordLimit + 1) : QByteArray();
    return file.isOpen() && data->size() <= recordLimit;
#endif
}

} // namespace

PartialDownload::Answer PartialDownload::judge(const Record &record, int status,
                                               const QByteArray &contentRange,
                                               const QByteArray &etag, const QByteArray &generation)
{
    if (status == 200)
        return UseWhole;
    if (status != 206)
        return StartOver;
    // An upload that replaced ours since would mix two files.
    if ((!record.etag.isEmpty() && etag != record.etag)
        || (!record.generation.isEmpty() && !generation.isEmpty()
            && generation != record.generation))
        return StartOver;
    const Range rest = record.next();
    const QByteArray expected = "bytes " + QByteArray::number(rest.from + rest.kept) + '-'
        + QByteArray::number(rest.to) + '/' + QByteArray::number(record.size);
    return contentRange.trimmed() == expected ? Append : StartOver;
}

PartialDownload::Range PartialDownload::Record::next() const
{
    for (const Range &range : ranges) {
        if (!range.complete())
            return range;
    }
    return { 0, size - 1, kept };
}

PartialDownload::PartialDownload(const QString &directory, Shelf shelf)
    : m_directory(directory)
    , m_shelf(std::move(shelf))
{
}

QString PartialDownload::partPath() const
{
    return m_directory + QLatin1Char('/') + partName;
}

QString PartialDownload::recordPath() const
{
    return m_directory + QLatin1Char('/') + m_shelf.recordName;
}

PartialDownload::Record PartialDownload::adopt(const QString &root, int build) const
{
    Record adopted;
    const QFileInfoList entries = QDir(root).entryInfoList(
        { m_shelf.directories }, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const PartialDownload kept(entry.absoluteFilePath(), m_shelf);
        // Never through a link, and never a directory without a record or someone else's.
        if (entry.absoluteFilePath() == QFileInfo(m_directory).absoluteFilePath()
            || entry.isSymLink() || !QFileInfo::exists(kept.recordPath())
#ifdef Q_OS_UNIX
            || entry.ownerId() != ::getuid()
#endif
        )
            continue;
        // A live session is still writing into it, or unpacking: it is neither taken nor
        // removed. Held while the part moves, so that no third session takes it meanwhile.
        const StagingLock lock(entry.absoluteFilePath());
        if (!lock.isHeld()) {
            qCInfo(lcUpdate) << "Leaving" << entry.absoluteFilePath() << "to the session using it";
            continue;
        }
        const Record record = adopted.build == -1 ? kept.read(build) : Record();
        if (record.build != -1 && QFile::rename(kept.partPath(), partPath()) && save(record)) {
            qCInfo(lcUpdate) << "Resuming build" << build << "at" << record.kept << "of"
                             << record.size;
            adopted = record;
        }
        // What is left of an attempt goes off this thread, a tree it was unpacking included.
        if (m_shelf.remove)
            m_shelf.remove(entry.absoluteFilePath());
    }
    return adopted;
}

void PartialDownload::readRanges(const QJsonObject &stored, Record *record)
{
    // Anything but ranges that cover the file in order, with a checksum to combine them
    // into, leaves nothing to resume.
    const QJsonArray ranges = stored.value(QLatin1String("ranges")).toArray();
    record->kept = 0;
    qint64 next = 0;
    for (const QJsonValue &value : ranges) {
        const QJsonObject object = value.toObject();
        const auto number = [&object](const char *name) {
            bool ok = false;
            const qint64 n = object.value(QLatin1String(name)).toString().toLongLong(&ok);
            return ok ? n : -1;
        };
        const Range range { number("from"), number("to"), number("kept") };
        if (ranges.size() > maximumRanges || range.from != next || range.to < range.from
            || range.to >= record->size || range.kept < 0 || range.kept > range.length()
            || record->crc32c.size() != 4) {
            record->kept = 0;
            record->ranges.clear();
            return;
        }
        record->ranges.append(range);
        record->kept += range.kept;
        next = range.to + 1;
    }
    if (next != record->size) {
        record->kept = 0;
        record->ranges.clear();
    }
}

PartialDownload::Record PartialDownload::read(int build) const
{
    Record record;
    const QFileInfo part(partPath());
    QByteArray bytes;
    if (!part.isSymLink() && part.isFile() && readRecord(recordPath(), &bytes)) {
        const QJsonObject stored = QJsonDocument::fromJson(bytes).object();
        record.build = stored.value(QLatin1String("build")).toInt(-1);
        record.generation = stored.value(QLatin1String("generation")).toString().toLatin1();
        record.etag = stored.value(QLatin1String("etag")).toString().toLatin1();
        record.size = stored.value(QLatin1String("size")).toString().toLongLong();
        // A run that was killed wrote no count: the part is what reached the disk, and the
        // checksum over the whole file judges it.
        record.kept = stored.contains(QLatin1String("kept"))
            ? stored.value(QLatin1String("kept")).toString().toLongLong()
            : part.size();
        const auto digest = [&stored](const char *name) {
            return QByteArray::fromBase64(stored.value(QLatin1String(name)).toString().toLatin1());
        };
        record.crc32c = digest("crc32c");
        record.md5 = digest("md5");
        if (stored.contains(QLatin1String("ranges")))
            readRanges(stored, &record);
        // Written before records kept the first answer's checksums: nothing would judge the
        // rest by them (ranges always kept their CRC-32C).
        else if (!stored.contains(QLatin1String("md5")))
            record.build = -1;
    }
    // A part of ranges is the whole file's size, each range's bytes at its offset.
    const qint64 partSize = record.ranges.isEmpty() ? record.kept : record.size;
    const bool usable = record.build == build && record.build > 0 && !record.etag.isEmpty()
        && !record.etag.startsWith("W/") && record.kept > 0 && record.kept < record.size
        && part.size() == partSize;
    if (!usable) {
        qCInfo(lcUpdate) << "Discarding the kept part of build" << record.build;
        return Record();
    }
    return record;
}

bool PartialDownload::save(const Record &record) const
{
    QJsonObject stored { { QStringLiteral("build"), record.build },
                         { QStringLiteral("generation"), QString::fromLatin1(record.generation) },
                         { QStringLiteral("etag"), QString::fromLatin1(record.etag) },
                         { QStringLiteral("size"), QString::number(record.size) },
                         { QStringLiteral("crc32c"),
                           QString::fromLatin1(record.crc32c.toBase64()) },
                         { QStringLiteral("md5"), QString::fromLatin1(record.md5.toBase64()) } };
    if (record.kept > 0)
        stored.insert(QStringLiteral("kept"), QString::number(record.kept));
    if (!record.ranges.isEmpty()) {
        QJsonArray ranges;
        for (const Range &range : record.ranges)
            ranges.append(QJsonObject { { QStringLiteral("from"), QString::number(range.from) },
                                        { QStringLiteral("to"), QString::number(range.to) },
                                        { QStringLiteral("kept"), QString::number(range.kept) } });
        stored.insert(QStringLiteral("ranges"), ranges);
    }
    QSaveFile file(recordPath());
    return file.open(QIODevice::WriteOnly)
        && file.write(QJsonDocument(stored).toJson(QJsonDocument::Compact)) >= 0 && file.commit();
}

void PartialDownload::forget() const
{
    QFile::remove(recordPath());
}
