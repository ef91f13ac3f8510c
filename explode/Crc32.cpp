#include "explode/Crc32.h"

#include "explode/Tables.h"

uint32_t UpdateCrc32(const uint8_t* buffer, const uint32_t* count, const uint32_t* crc) {
  uint32_t c = *crc;
  for (uint32_t i = 0, n = *count; i < n; ++i)
    c = dcl::Crc32Table[(c ^ buffer[i]) & 0xFF] ^ (c >> 8);
  return c;
}
