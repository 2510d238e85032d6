// The catalog of an archive read from its last bytes, as the pipelined install reads it
// before the rest has arrived: whatever it accepts must be safe to unpack by.
#include "install/zipcatalog.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes say how much of the archive is the tail that was fetched.
    const qint64 archiveSize = qint64(size) - 2;
    const qint64 asked = (qint64(data[0]) << 8 | data[1]) * 4;
    const qint64 tailSize = asked == 0 || asked > archiveSize ? archiveSize : asked;
    const QByteArray tail(reinterpret_cast<const char *>(data) + size - tailSize, tailSize);

    ZipCatalog catalog;
    qint64 needFrom = -1;
    QString error;
    if (!catalog.read(tail, archiveSize, &needFrom, &error)) {
        // Asked again only for bytes it has not seen, and never both a refusal and a retry.
        if (error.isEmpty() != (needFrom >= 0 && needFrom < archiveSize - tailSize))
            __builtin_trap();
        return 0;
    }
    if (catalog.directoryOffset() > archiveSize || catalog.archiveSize() != archiveSize)
        __builtin_trap();
    qint64 spans = 0;
    for (const ZipCatalog::Entry &entry : catalog.entries()) {
        // Every entry's bytes lie before the directory, hold its header, name and data, and
        // belong to it alone.
        if (entry.name.isEmpty() || entry.headerOffset < 0
            || entry.spanEnd > catalog.directoryOffset()
            || entry.spanEnd - entry.headerOffset < 30 + entry.name.size() + entry.compressedSize)
            __builtin_trap();
        spans += entry.spanEnd - entry.headerOffset;
    }
    if (spans > catalog.directoryOffset())
        __builtin_trap();
    return 0;
}
