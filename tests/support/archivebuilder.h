#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds zip archives for tests with libarchive's writer, including hostile ones.
namespace ArchiveBuilder {

struct Entry
{
    enum Type { File, Directory, Symlink, Hardlink, Fifo, CharacterDevice };
    QString path;
    QByteArray data;
    Type type = File;
    int mode = 0644;
    QString linkTarget; // Symlink and Hardlink
};

// Deflate is what real builds use; Store keeps file data verbatim in the archive, so a test
// can find and damage it. Zip64 is Deflate with ZIP64 end records.
enum class Compression { Deflate, Store, Zip64 };

// A small good build: chrome-linux/chrome, a script that prints a version and exits with
// chromeExitCode, plus product_logo_48.png and a few other files.
QList<Entry> chromeTree(int chromeExitCode = 0);

// Empty when libarchive refuses an entry. libarchive writes no FIFOs or devices into a zip, so
// those are written as empty files and retyped in the central directory afterwards, the way
// a hostile archive would carry them. Zip has no hard links: a Hardlink entry is written the
// way libarchive writes it, as a plain file with its data.
QByteArray zip(const QList<Entry> &entries, Compression compression = Compression::Deflate);
bool writeZip(const QString &path, const QList<Entry> &entries,
              Compression compression = Compression::Deflate);

} // namespace ArchiveBuilder
