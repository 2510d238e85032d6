// Build archives, unpacked with every check into a fresh directory.
#include "install/archiveunpacker.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir root;
    const QString archive = root.filePath(QStringLiteral("input.zip"));
    const QString destination = root.filePath(QStringLiteral("tree"));
    QFile file(archive);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(reinterpret_cast<const char *>(data), qint64(size));
    file.close();

    ArchiveUnpacker::Limits limits;
    limits.maximumEntries = 64;
    limits.maximumBytes = 8 * 1024 * 1024;
    const ArchiveUnpacker::Result result
        = ArchiveUnpacker::unpack(archive, destination, QStringLiteral("chrome-linux"), limits);
    // A refused archive leaves nothing behind; nothing is ever written beside the tree.
    if (!result.ok && QFileInfo::exists(destination))
        __builtin_trap();
    const QStringList entries
        = QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &entry : entries) {
        if (entry != QLatin1String("input.zip") && entry != QLatin1String("tree"))
            __builtin_trap();
    }
    // What was unpacked must be removable through the program's own QString paths.
    if (QFileInfo::exists(destination) && !QDir(destination).removeRecursively())
        __builtin_trap();
    return 0;
}
