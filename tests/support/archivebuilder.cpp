#include "support/archivebuilder.h"

#include <QBuffer>
#include <QFile>
#include <QHash>
#include <QImage>
#include <QSaveFile>
#include <QtEndian>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace {

using WriteArchive = std::unique_ptr<struct archive, decltype(&archive_write_free)>;
using ArchiveEntry = std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)>;

la_ssize_t appendTo(struct archive *, void *buffer, const void *data, size_t length)
{
    static_cast<QByteArray *>(buffer)->append(static_cast<const char *>(data), qsizetype(length));
    return la_ssize_t(length);
}

QByteArray png48()
{
    QImage image(48, 48, QImage::Format_ARGB32);
    image.fill(QColor(66, 133, 244));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// Rewrites the file type kept in the upper half of the central directory's external
// attributes (Unix "version made by", which libarchive's writer always uses).
bool retype(QByteArray &zip, const QHash<QByteArray, quint32> &types)
{
    constexpr int endRecordSize = 22;
    if (types.isEmpty())
        return true;
    if (zip.size() < endRecordSize)
        return false;
    const uchar *end
        = reinterpret_cast<const uchar *>(zip.constData()) + zip.size() - endRecordSize;
    if (qFromLittleEndian<quint32>(end) != 0x06054b50)
        return false;
    const int count = qFromLittleEndian<quint16>(end + 10);
    qsizetype offset = qFromLittleEndian<quint32>(end + 16);
    int found = 0;
    for (int i = 0; i < count && offset + 46 <= zip.size(); ++i) {
        uchar *header = reinterpret_cast<uchar *>(zip.data()) + offset;
        if (qFromLittleEndian<quint32>(header) != 0x02014b50)
            return false;
        const int nameLength = qFromLittleEndian<quint16>(header + 28);
        const int extraLength = qFromLittleEndian<quint16>(header + 30);
        const int commentLength = qFromLittleEndian<quint16>(header + 32);
        const QByteArray name(reinterpret_cast<const char *>(header) + 46, nameLength);
        if (types.contains(name)) {
            const quint32 attributes = qFromLittleEndian<quint32>(header + 38);
            const quint32 mode = ((attributes >> 16) & 07777) | types.value(name);
            qToLittleEndian<quint32>((mode << 16) | (attributes & 0xffff), header + 38);
            ++found;
        }
        offset += 46 + nameLength + extraLength + commentLength;
    }
    return found == types.size();
}

} // namespace

QList<ArchiveBuilder::Entry> ArchiveBuilder::chromeTree(int chromeExitCode)
{
    const QByteArray script = "#!/bin/sh\necho 'Chromium 123.0.0.0 snapshot'\nexit "
        + QByteArray::number(chromeExitCode) + "\n";
    QByteArray library("\x7f"
                       "ELF");
    library.append(QByteArray(4096, 'L'));
    return {
        { QStringLiteral("chrome-linux/"), {}, Entry::Directory, 0755, {} },
        { QStringLiteral("chrome-linux/chrome"), script, Entry::File, 0755, {} },
        { QStringLiteral("chrome-linux/product_logo_48.png"), png48(), Entry::File, 0644, {} },
        { QStringLiteral("chrome-linux/locales/en-US.pak"),
          QByteArray(2000, 'P'),
          Entry::File,
          0644,
          {} },
        { QStringLiteral("chrome-linux/libfoo.so"), library, Entry::File, 0755, {} },
    };
}

QByteArray ArchiveBuilder::zip(const QList<Entry> &entries, Compression compression)
{
    QByteArray out;
    WriteArchive writer(archive_write_new(), archive_write_free);
    if (archive_write_set_format_zip(writer.get()) != ARCHIVE_OK)
        return {};
    if (compression == Compression::Store)
        archive_write_zip_set_compression_store(writer.get());
    if (compression == Compression::Zip64
        && archive_write_set_options(writer.get(), "zip:zip64") != ARCHIVE_OK)
        return {};
    // No padding after the end record: readers look for it at the very end.
    archive_write_set_bytes_in_last_block(writer.get(), 1);
    if (archive_write_open2(writer.get(), &out, nullptr, appendTo, nullptr, nullptr) != ARCHIVE_OK)
        return {};

    QHash<QByteArray, quint32> retyped;
    for (const Entry &entry : entries) {
        ArchiveEntry header(archive_entry_new(), archive_entry_free);
        const QByteArray path = entry.path.toUtf8();
        archive_entry_copy_pathname(header.get(), path.constData());
        archive_entry_set_mtime(header.get(), 1700000000, 0);
        const mode_t permissions = mode_t(entry.mode) & 07777;
        QByteArray data = entry.data;
        switch (entry.type) {
        case Entry::File:
            archive_entry_set_mode(header.get(), AE_IFREG | permissions);
            break;
        case Entry::Directory:
            archive_entry_set_mode(header.get(), AE_IFDIR | permissions);
            data.clear();
            break;
        case Entry::Symlink:
            archive_entry_set_mode(header.get(), AE_IFLNK | permissions);
            archive_entry_copy_symlink(header.get(), entry.linkTarget.toUtf8().constData());
            data.clear();
            break;
        case Entry::Hardlink:
            archive_entry_set_mode(header.get(), AE_IFREG | permissions);
            archive_entry_copy_hardlink(header.get(), entry.linkTarget.toUtf8().constData());
            break;
        case Entry::Fifo:
        case Entry::CharacterDevice:
            archive_entry_set_mode(header.get(), AE_IFREG | permissions);
            retyped.insert(path, entry.type == Entry::Fifo ? AE_IFIFO : AE_IFCHR);
            data.clear();
            break;
        }
        archive_entry_set_size(header.get(), data.size());
        if (archive_write_header(writer.get(), header.get()) < ARCHIVE_WARN)
            return {};
        if (!data.isEmpty()
            && archive_write_data(writer.get(), data.constData(), size_t(data.size()))
                != la_ssize_t(data.size()))
            return {};
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK)
        return {};
    if (!retype(out, retyped))
        return {};
    return out;
}

bool ArchiveBuilder::writeZip(const QString &path, const QList<Entry> &entries,
                              Compression compression)
{
    const QByteArray bytes = zip(entries, compression);
    if (bytes.isEmpty())
        return false;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}
