// The scrambling stream of the archive body, and the program's one shared
// pseudo-random generator it is drawn from.
#pragma once

#include <cstdint>
#include <span>
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

// The state SetKey starts the stream from for key.
uint32_t KeyState(std::string_view key);

// CryptBuffer on a stream whose state the caller keeps: combines count
// bytes of buffer with the stream that follows state and returns the state
// after them. Leaves the shared generator and the stream of SetKey alone,
// so that two streams can run side by side.
uint32_t CryptBufferFrom(uint8_t* buffer, uint32_t count, uint32_t state);

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
// everywhere) first and the fastest last. CryptBuffer uses the last one
// that runs here, chosen on its first call.
std::span<const ScrambleImplementation> ScrambleImplementations();

inline int32_t Min32(int32_t a, int32_t b) { return a < b ? a : b; }
inline int32_t Max32(int32_t a, int32_t b) { return a > b ? a : b; }
