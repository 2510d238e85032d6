#include "transfer/crc32c.h"

#include <QtEndian>

#include <array>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define TARROWIN_CRC32C_SSE42 1
#endif

namespace {

// Slicing-by-8: eight bytes per step, since this runs over every byte of every download.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables makeTables()
{
    Tables t {};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1u) ? 0x82F63B78u : 0u);
        t[0][i] = crc;
    }
    for (std::size_t k = 1; k < t.size(); ++k) {
        for (std::size_t i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    }
    return t;
}

constexpr Tables tables = makeTables();

std::uint32_t portable(std::uint32_t crc, const uchar *p, qsizetype n)
{
    for (; n >= 8; p += 8, n -= 8) {
        crc ^= qFromLittleEndian<quint32>(p);
        crc = tables[7][crc & 0xFFu] ^ tables[6][(crc >> 8) & 0xFFu]
            ^ tables[5][(crc >> 16) & 0xFFu] ^ tables[4][crc >> 24] ^ tables[3][p[4]]
            ^ tables[2][p[5]] ^ tables[1][p[6]] ^ tables[0][p[7]];
    }
    for (; n > 0; ++p, --n)
        crc = (crc >> 8) ^ tables[0][(crc ^ *p) & 0xFFu];
    return crc;
}

#ifdef TARROWIN_CRC32C_SSE42
// SSE 4.2's crc32 instruction computes exactly this polynomial: four times the table's
// speed, which is most of the checksum's share of a download's CPU time.
__attribute__((target("sse4.2"))) std::uint32_t hardware(std::uint32_t crc, const uchar *p,
                                                         qsizetype n)
{
    std::uint64_t wide = crc;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        wide = _mm_crc32_u64(wide, word);
    }
    crc = std::uint32_t(wide);
    for (; n > 0; ++p, --n)
        crc = _mm_crc32_u8(crc, *p);
    return crc;
}

const bool hasHardware = __builtin_cpu_supports("sse4.2");
#endif

// Appending zero bits to a message is linear over GF(2): a 32 x 32 bit matrix per length,
// squared for each doubling (the method of zlib's crc32_combine).
std::uint32_t times(const std::uint32_t *matrix, std::uint32_t vector)
{
    std::uint32_t sum = 0;
    for (; vector; vector >>= 1, ++matrix) {
        if (vector & 1u)
            sum ^= *matrix;
    }
    return sum;
}

void square(std::uint32_t *result, const std::uint32_t *matrix)
{
    for (int n = 0; n < 32; ++n)
        result[n] = times(matrix, matrix[n]);
}

} // namespace

std::uint32_t Crc32c::combine(std::uint32_t first, std::uint32_t second, qint64 secondLength)
{
    if (secondLength <= 0)
        return first;
    std::uint32_t even[32];
    std::uint32_t odd[32];
    odd[0] = 0x82F63B78u; // one zero bit
    for (int n = 1; n < 32; ++n)
        odd[n] = 1u << (n - 1);
    square(even, odd); // two zero bits
    square(odd, even); // four
    // Each step squares the operator once more: one zero byte, two, four ...
    std::uint32_t *current = odd;
    std::uint32_t *next = even;
    for (; secondLength; secondLength >>= 1) {
        square(next, current);
        std::swap(current, next);
        if (secondLength & 1)
            first = times(current, first);
    }
    return first ^ second;
}

QByteArray Crc32c::digest(std::uint32_t value)
{
    const quint32 big = qToBigEndian<quint32>(value);
    return QByteArray(reinterpret_cast<const char *>(&big), sizeof big);
}

void Crc32c::addData(QByteArrayView data)
{
    const auto *p = reinterpret_cast<const uchar *>(data.data());
#ifdef TARROWIN_CRC32C_SSE42
    if (hasHardware) {
        m_state = hardware(m_state, p, data.size());
        return;
    }
#endif
    m_state = portable(m_state, p, data.size());
}

std::uint32_t Crc32c::of(QByteArrayView data)
{
    Crc32c crc;
    crc.addData(data);
    return crc.value();
}

std::uint32_t Crc32c::ofPortable(QByteArrayView data)
{
    return ~portable(0xFFFFFFFFu, reinterpret_cast<const uchar *>(data.data()), data.size());
}
