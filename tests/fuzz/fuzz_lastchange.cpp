// LAST_CHANGE bodies: whatever the storage (or someone on the path) sends.
#include "builds/buildnumber.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView body(reinterpret_cast<const char *>(data), qsizetype(size));
    const int build = BuildNumber::parse(body);
    // 0 is never a build; -1 stands for "no number".
    if (build == 0)
        __builtin_trap();
    return 0;
}
