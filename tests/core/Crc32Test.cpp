#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

}  // namespace
