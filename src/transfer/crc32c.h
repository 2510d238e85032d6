#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

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
    // The checksum of A followed by B from those of A and B and B's length: ranges fetched
    // apart are checked as one file.
    static std::uint32_t combine(std::uint32_t first, std::uint32_t second, qint64 secondLength);
    // The value as the storage publishes it (before base64): four bytes, most significant first.
    static QByteArray digest(std::uint32_t value);

private:
    std::uint32_t m_state = 0xFFFFFFFFu;
};
