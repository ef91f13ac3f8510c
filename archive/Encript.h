// The scrambling stream of the archive body: the bytes of a 32-bit linear
// congruential generator (state * 134775813 + 1), the top 8 bits of each
// new state.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

// The state the stream starts from for key: the sum of each character
// shifted left by 8, 16, 24, 0, 8, ... bits by its position. Only the first
// (length mod 65536) characters count. The empty key starts from 0.
uint32_t KeyState(std::string_view key);

// Combines count bytes of buffer in place with the stream that follows
// state and returns the state after them (state itself for 0). The caller
// keeps the state, so streams can run side by side; the same call
// unscrambles what it scrambled.
uint32_t CryptBufferFrom(uint8_t* buffer, uint32_t count, uint32_t state);

// The state count bytes of the stream after state, without the bytes: the
// generator's step composed with itself, in a few dozen multiplications
// whatever count is. For taking a body up at any place.
uint32_t StateAfter(uint32_t state, uint64_t count);

// One way of combining a buffer with the stream; every one gives the same
// bytes and the same state.
struct ScrambleImplementation {
  const char* name;
  bool (*runsHere)();  // whether this processor and system can run it
  // Combines the count bytes of buffer with the stream that follows state,
  // and returns the state after the last of them (state itself for 0).
  uint32_t (*run)(uint8_t* buffer, uint32_t count, uint32_t state);
};

// Every implementation built into the program, the plain one (which runs
// everywhere) first and the fastest last. CryptBufferFrom uses the last one
// that runs here, chosen on its first call.
std::span<const ScrambleImplementation> ScrambleImplementations();

inline int32_t Min32(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t Max32(int32_t a, int32_t b) { return a > b ? a : b; }
