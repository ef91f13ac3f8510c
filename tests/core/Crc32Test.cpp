#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "explode/Crc32.h"

namespace {

uint32_t Register(const std::string& s, uint32_t start = 0xFFFFFFFFu) {
  uint32_t n = uint32_t(s.size());
  return UpdateCrc32(reinterpret_cast<const uint8_t*>(s.data()), &n, &start);
}

TEST(Crc32, KnownAnswers) {
  struct Row {
    int line;
    const char* text;
    uint32_t reg;  // register after the bytes, not complemented
  } rows[] = {
      {__LINE__, "", 0xFFFFFFFFu},
      {__LINE__, "abc", 0xCADBBE3Du},
      {__LINE__, "a", ~0xE8B7BE43u},
      {__LINE__, "123456789", ~0xCBF43926u},
      {__LINE__, "The quick brown fox jumps over the lazy dog", ~0x414FA339u},
  };
  for (const Row& r : rows) EXPECT_EQ(Register(r.text), r.reg) << "row at line " << r.line;
}

// A register moved on over zero bytes without them: parts checked apart
// join into the whole's register.
TEST(Crc32, ShiftingARegisterIsRunningItOverZeros) {
  for (uint32_t count : {0u, 1u, 3u, 8u, 1000u, 65539u}) {
    const std::string zeros(count, '\0');
    for (uint32_t start : {0xFFFFFFFFu, 0x12345678u, 1u})
      EXPECT_EQ(ShiftCrc32(start, count), Register(zeros, start)) << count << " " << start;
  }
  const std::string a = "The quick brown fox", b = " jumps over the lazy dog";
  EXPECT_EQ(ShiftCrc32(Register(a), b.size()) ^ Register(b, 0), Register(a + b));
  EXPECT_EQ(Register(a + b) ^ 0xFFFFFFFFu, 0x414FA339u);
}

TEST(Crc32, RunsOnAcrossCallsAndLeavesArgumentsAlone) {
  const std::string text = "Pavlane Orbit Suite";
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    uint32_t reg = Register(text.substr(0, cut));
    EXPECT_EQ(Register(text.substr(cut), reg), Register(text)) << "cut at " << cut;
  }
  uint8_t byte = 'x';
  uint32_t count = 1, crc = 0x12345678u;
  UpdateCrc32(&byte, &count, &crc);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(crc, 0x12345678u);
}

// One bit at a time, straight from the polynomial: shares nothing with the
// module's tables or folding factors.
uint32_t BitwiseRegister(const uint8_t* p, size_t n, uint32_t c) {
  for (; n > 0; --n, ++p) {
    c ^= *p;
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
  }
  return c;
}

// Every length to 300 runs each path's bulk loop, its 16-byte steps and
// its byte tail in every combination, from odd addresses and from varied
// registers (a register carried over from an earlier chunk).
TEST(Crc32, EveryImplementationGivesTheBitwiseRegister) {
  std::vector<uint8_t> data(320);
  uint32_t x = 1;
  for (uint8_t& b : data) b = uint8_t((x = x * 69069u + 1) >> 24);
  for (const Crc32Implementation& impl : Crc32Implementations()) {
    if (!impl.runsHere()) {
      std::printf("note: the %s CRC-32 cannot run on this machine, not tested\n", impl.name);
      continue;
    }
    for (size_t offset : {0, 1, 3, 8})
      for (uint32_t n = 0; n <= 300; ++n) {
        uint32_t start = 0xFFFFFFFFu * (n & 1) ^ n * 0x9E3779B9u;
        ASSERT_EQ(impl.update(data.data() + offset, n, start),
                  BitwiseRegister(data.data() + offset, n, start))
            << impl.name << ", " << n << " bytes at offset " << offset;
      }
  }
}

}  // namespace
