// The maker's version file, compared with our own version.
#include "tray/versionfile.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray remote(reinterpret_cast<const char *>(data), qsizetype(size));
    const bool newer = VersionFile::isNewer(remote, QByteArrayLiteral("0.1.2"));
    // Nothing is newer than itself.
    if (VersionFile::isNewer(remote, remote))
        __builtin_trap();
    (void)newer;
    return 0;
}
