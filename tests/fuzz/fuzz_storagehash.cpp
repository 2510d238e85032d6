// The storage's x-goog-hash header, and checking a body against it.
#include "transfer/objecthash.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray header(reinterpret_cast<const char *>(data), qsizetype(size));
    const ObjectHash::Expected expected = ObjectHash::parse(header);
    ObjectHash hash;
    hash.addData(header);
    const bool matches = hash.matches(expected);
    // A header we could not read never vouches for anything.
    if (expected.malformed && matches)
        __builtin_trap();
    return 0;
}
