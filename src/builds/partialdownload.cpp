#include "builds/partialdownload.h"

#include "common/updatelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

const QString partName = QStringLiteral("archive.part");
const QString recordName = QStringLiteral("record.json");

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
    const QByteArray expected = "bytes " + QByteArray::number(record.kept) + '-'
        + QByteArray::number(record.size - 1) + '/' + QByteArray::number(record.size);
    return contentRange.trimmed() == expected ? Append : StartOver;
}

PartialDownload::PartialDownload(const QString &directory)
    : m_directory(directory)
{
}

bool PartialDownload::prepare() const
{
    const QFileInfo parent(QFileInfo(m_directory).absolutePath());
    if (!parent.isDir() && !QDir().mkpath(parent.absoluteFilePath()))
        return false;
    QDir().mkdir(m_directory,
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QFileInfo directory(m_directory);
    const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    // Nothing anyone else could have planted is ever opened.
    return !directory.isSymLink() && directory.isDir() && !(directory.permissions() & others)
#ifdef Q_OS_UNIX
        && directory.ownerId() == ::getuid()
#endif
        ;
}

QString PartialDownload::partPath() const
{
    return m_directory + QLatin1Char('/') + partName;
}

QString PartialDownload::recordPath() const
{
    return m_directory + QLatin1Char('/') + recordName;
}

PartialDownload::Record PartialDownload::take(int build) const
{
    Record record;
    QFile file(recordPath());
    const QFileInfo part(partPath());
    if (!part.isSymLink() && part.isFile() && file.size() < 4096
        && file.open(QIODevice::ReadOnly)) {
        const QJsonObject stored = QJsonDocument::fromJson(file.readAll()).object();
        record.build = stored.value(QLatin1String("build")).toInt(-1);
        record.generation = stored.value(QLatin1String("generation")).toString().toLatin1();
        record.etag = stored.value(QLatin1String("etag")).toString().toLatin1();
        record.size = stored.value(QLatin1String("size")).toString().toLongLong();
        // A run that was killed wrote no count: the part is what reached the disk, and the
        // checksum over the whole file judges it.
        record.kept = stored.contains(QLatin1String("kept"))
            ? stored.value(QLatin1String("kept")).toString().toLongLong()
            : part.size();
    }
    const bool usable = record.build == build && record.build > 0 && !record.etag.isEmpty()
        && !record.etag.startsWith("W/") && record.kept > 0 && record.kept < record.size
        && part.size() == record.kept;
    if (!usable) {
        if (record.build != -1)
            qCInfo(lcUpdate) << "Discarding the kept part of build" << record.build;
        QFile::remove(recordPath());
        QFile::remove(partPath());
        return Record();
    }
    qCInfo(lcUpdate) << "Resuming build" << build << "at" << record.kept << "of" << record.size;
    return record;
}

bool PartialDownload::save(const Record &record) const
{
    QJsonObject stored { { QStringLiteral("build"), record.build },
                         { QStringLiteral("generation"), QString::fromLatin1(record.generation) },
                         { QStringLiteral("etag"), QString::fromLatin1(record.etag) },
                         { QStringLiteral("size"), QString::number(record.size) } };
    if (record.kept > 0)
        stored.insert(QStringLiteral("kept"), QString::number(record.kept));
    QSaveFile file(recordPath());
    return file.open(QIODevice::WriteOnly)
        && file.write(QJsonDocument(stored).toJson(QJsonDocument::Compact)) >= 0 && file.commit();
}

void PartialDownload::discard() const
{
    QFile::remove(recordPath());
    QFile::remove(partPath());
    QDir().rmdir(m_directory);
}
