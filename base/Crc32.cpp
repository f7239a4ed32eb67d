#include "base/Crc32.h"

#include <array>
#include <cstring>

namespace {
// Slicing by 8: table k gives the CRC of a byte followed by k zero bytes.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}

constexpr Tables kTables = MakeTables();
}  // namespace

uint32_t Crc32(const void* data, size_t length) { return Crc32(data, length, 0); }

uint32_t Crc32(const void* data, size_t length, uint32_t previous) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint32_t crc = ~previous;
    for (; length >= 8; p += 8, length -= 8) {
        uint32_t low, high;
        memcpy(&low, p, 4);  // little-endian, as every Windows target is
        memcpy(&high, p + 4, 4);
        low ^= crc;
        crc = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^ kTables[5][(low >> 16) & 0xFF] ^
              kTables[4][low >> 24] ^ kTables[3][high & 0xFF] ^ kTables[2][(high >> 8) & 0xFF] ^
              kTables[1][(high >> 16) & 0xFF] ^ kTables[0][high >> 24];
    }
    for (; length > 0; ++p, --length) crc = (crc >> 8) ^ kTables[0][(crc ^ *p) & 0xFF];
    return ~crc;
}
