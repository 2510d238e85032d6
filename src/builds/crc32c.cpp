#include "builds/crc32c.h"

void Crc32c::addData(QByteArrayView) {}
std::uint32_t Crc32c::of(QByteArrayView data)
{
    Crc32c crc;
    crc.addData(data);
    return crc.value();
}
