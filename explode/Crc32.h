// CRC-32 register update (reflected, polynomial 0xEDB88320).
#pragma once

#include <cstdint>
#include <span>

// Runs the CRC-32 register *crc over the *count bytes of buffer and returns
// the new register. Neither presets nor complements: callers start from
// 0xFFFFFFFF and compare the final register unchanged. Neither *count nor
// *crc is modified; an empty buffer returns *crc.
uint32_t UpdateCrc32(const uint8_t* buffer, const uint32_t* count, const uint32_t* crc);

// The register crc as count zero bytes would leave it: crc times x^(8 count)
// modulo the polynomial, in a few dozen steps whatever count is. Since the
// update is linear, the register over A then B is ShiftCrc32(register over
// A, length of B) XOR the register over B started from 0, so parts of one
// body can be checked on several threads.
uint32_t ShiftCrc32(uint32_t crc, uint64_t count);

// One way of computing UpdateCrc32; every one gives the same register.
struct Crc32Implementation {
  const char* name;
  bool (*runsHere)();  // whether this processor and system can run it
  uint32_t (*update)(const uint8_t* buffer, uint32_t count, uint32_t crc);
};

// Every implementation built into the program, the plain one (which runs
// everywhere) first and the fastest last. UpdateCrc32 uses the last one
// that runs here, chosen on its first call.
std::span<const Crc32Implementation> Crc32Implementations();
