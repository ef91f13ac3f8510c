#include "explode/Crc32.h"

#include <bit>
#include <cstring>

#include "explode/Tables.h"

// Eight bytes are loaded as one little-endian integer.
static_assert(std::endian::native == std::endian::little);

uint32_t UpdateCrc32(const uint8_t* buffer, const uint32_t* count, const uint32_t* crc) {
  using dcl::Crc32Slices;
  uint32_t c = *crc;
  uint32_t n = *count;
  // Still one table lookup per byte, but eight independent ones per step.
  for (; n >= 8; n -= 8, buffer += 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, buffer, 4);
    std::memcpy(&hi, buffer + 4, 4);
    lo ^= c;
    c = Crc32Slices[7][lo & 0xFF] ^ Crc32Slices[6][(lo >> 8) & 0xFF] ^
        Crc32Slices[5][(lo >> 16) & 0xFF] ^ Crc32Slices[4][lo >> 24] ^
        Crc32Slices[3][hi & 0xFF] ^ Crc32Slices[2][(hi >> 8) & 0xFF] ^
        Crc32Slices[1][(hi >> 16) & 0xFF] ^ Crc32Slices[0][hi >> 24];
  }
  for (; n > 0; --n, ++buffer) c = dcl::Crc32Table[(c ^ *buffer) & 0xFF] ^ (c >> 8);
  return c;
}
