// CRC-32 register update (reflected, polynomial 0xEDB88320).
#pragma once

#include <cstdint>

// Runs the CRC-32 register *crc over the *count bytes of buffer and returns
// the new register. Neither presets nor complements: callers start from
// 0xFFFFFFFF and compare the final register unchanged. Neither *count nor
// *crc is modified; an empty buffer returns *crc.
uint32_t UpdateCrc32(const uint8_t* buffer, const uint32_t* count, const uint32_t* crc);
