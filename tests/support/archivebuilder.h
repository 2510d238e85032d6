#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds zip archives for tests with libarchive's writer, including hostile ones.
namespace ArchiveBuilder {

struct Entry
{
    enum Type { File, Directory, Symlink, Hardlink, Fifo };
    QString path;
    QByteArray data;
    Type type = File;
    int mode = 0644;
    QString linkTarget; // Symlink and Hardlink
};

// A small good build: chrome-linux/chrome, a script that prints a version and exits with
// chromeExitCode, plus product_logo_48.png and a few other files.
QList<Entry> chromeTree(int chromeExitCode = 0);

QByteArray zip(const QList<Entry> &entries);
bool writeZip(const QString &path, const QList<Entry> &entries);

} // namespace ArchiveBuilder
