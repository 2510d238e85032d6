#include "install/archiveunpacker.h"

ArchiveUnpacker::Result ArchiveUnpacker::unpack(const QString &, const QString &, const QString &,
                                                const Limits &, const std::atomic<bool> *)
{
    Result result;
    result.error = QStringLiteral("not built yet");
    return result;
}
