#pragma once

#include <QByteArrayView>

#include <cstdint>

// CRC-32C (Castagnoli), the checksum the build storage publishes for every object.
class Crc32c
{
public:
    void addData(QByteArrayView data);
    std::uint32_t value() const { return ~m_state; }

    static std::uint32_t of(QByteArrayView data);
    // The table-driven computation alone, which runs where the processor has no CRC-32C
    // instruction; of() picks the fastest.
    static std::uint32_t ofPortable(QByteArrayView data);

private:
    std::uint32_t m_state = 0xFFFFFFFFu;
};
