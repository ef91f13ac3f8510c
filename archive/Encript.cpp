#include "archive/Encript.h"

uint32_t RandomSeed = 0;

namespace {
uint32_t ScrambleState = 0;  // the stream's state between calls
uint32_t SavedSeed = 0;      // the shared generator's state during a call
}  // namespace

uint32_t RandomBelow(uint32_t n) {
  RandomSeed = RandomSeed * 134775813u + 1;  // 0x08088405
  return uint32_t((uint64_t(n) * RandomSeed) >> 32);
}

void SetKey(std::string_view key) {
  uint32_t sum = 0;
  size_t length = key.size() & 0xFFFF;  // the length is kept in 16 bits
  for (size_t i = 1; i <= length; ++i)
    sum += uint32_t(uint8_t(key[i - 1])) << ((i % 4) * 8);
  ScrambleState = sum;
}

void CryptBuffer(uint8_t* buffer, int32_t count) {
  if (count <= 0) return;
  SavedSeed = RandomSeed;
  RandomSeed = ScrambleState;
  // The generator's step, RandomBelow(256), on a local copy of the state:
  // stores into the buffer could alias the global and force a reload.
  uint32_t seed = RandomSeed;
  for (int32_t i = 0; i < count; ++i) {
    seed = seed * 134775813u + 1;
    buffer[i] ^= uint8_t(seed >> 24);
  }
  RandomSeed = seed;
  ScrambleState = RandomSeed;
  RandomSeed = SavedSeed;
}
