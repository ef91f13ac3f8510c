// The scrambling stream of the archive body, and the program's one shared
// pseudo-random generator it is drawn from.
#pragma once

#include <cstdint>
#include <string_view>

// State of the shared generator: a 32-bit linear congruential generator,
// 0 at program start.
extern uint32_t RandomSeed;

// Advances the shared generator one step and returns a number from 0 to
// n - 1: the upper 32 bits of n times the new state.
uint32_t RandomBelow(uint32_t n);

// Starts the stream from key: the sum of each character shifted left by
// 8, 16, 24, 0, 8, ... bits by its position. Only the first (length mod
// 65536) characters count. The empty key starts from 0.
void SetKey(std::string_view key);

// Combines the first count bytes of buffer in place with the next count
// bytes of the stream; does nothing for a count of 0 or less. The stream
// runs on across calls, and the shared generator is left as it was found.
// The same call unscrambles what it scrambled.
void CryptBuffer(uint8_t* buffer, int32_t count);

inline int32_t Min32(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t Max32(int32_t a, int32_t b) { return a > b ? a : b; }
