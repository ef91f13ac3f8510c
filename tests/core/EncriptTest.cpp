#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "archive/Encript.h"

namespace {

// The stream from a given state, computed apart from the module.
std::vector<uint8_t> Stream(uint32_t state, size_t n) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < n; ++i) {
    state = state * 0x08088405u + 1;
    out.push_back(uint8_t(state >> 24));
  }
  return out;
}

std::vector<uint8_t> Crypt(std::string_view key, std::vector<uint8_t> data) {
  CryptBufferFrom(data.data(), uint32_t(data.size()), KeyState(key));
  return data;
}

TEST(Encript, KeysGiveTheStartingStatesOfTheStream) {
  struct Row {
    int line;
    std::string key;
    uint32_t state;
  } rows[] = {
      {__LINE__, "", 0},
      {__LINE__, "A", 0x41u << 8},
      {__LINE__, std::string("\0\0\0B", 4), 0x42u},
      {__LINE__, "ABCDE", (0x41u << 8) + (0x42u << 16) + (0x43u << 24) + 0x44u + (0x45u << 8)},
      {__LINE__, std::string("\xFF\xFF\xFF\xFF", 4), (0xFFu << 8) + (0xFFu << 16) + (0xFFu << 24) + 0xFFu},
      // The length is kept in 16 bits: 65537 characters count as one.
      {__LINE__, std::string(65537, 'x'), uint32_t('x') << 8},
  };
  const std::vector<uint8_t> zeros(64, 0);
  for (const Row& r : rows)
    EXPECT_EQ(Crypt(r.key, zeros), Stream(r.state, zeros.size())) << "row at line " << r.line;
}

TEST(Encript, ChunksRunOnAsOneStreamAndUndoThemselves) {
  std::vector<uint8_t> plain(1000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = uint8_t(i * 7);
  const std::vector<uint8_t> whole = Crypt("key", plain);
  for (uint32_t first : {0, 1, 7, 500, 999, 1000}) {
    std::vector<uint8_t> chunked = plain;
    uint32_t state = CryptBufferFrom(chunked.data(), first, KeyState("key"));
    CryptBufferFrom(chunked.data() + first, uint32_t(chunked.size()) - first, state);
    EXPECT_EQ(chunked, whole) << "first chunk " << first;
  }
  EXPECT_EQ(Crypt("key", whole), plain);
  // Taken up at any place without the bytes before it: the state after
  // them, the first two being 1 and 134775814 from 0.
  EXPECT_EQ(StateAfter(0, 1), 1u);
  EXPECT_EQ(StateAfter(0, 2), 134775814u);
  for (uint32_t count : {0u, 1u, 2u, 3u, 999u, 1000u, 65537u}) {
    std::vector<uint8_t> bytes(count);
    EXPECT_EQ(StateAfter(KeyState("key"), count),
              CryptBufferFrom(bytes.data(), count, KeyState("key")))
        << count;
  }
  // Nothing to combine: the buffer and the state stay.
  std::vector<uint8_t> data = {1, 2, 3};
  EXPECT_EQ(CryptBufferFrom(data.data(), 0, 12345u), 12345u);
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3}));
}

// Every length to 300 runs each path's vector loop and its byte tail in
// every combination, from odd addresses and varied states.
TEST(Encript, EveryImplementationGivesTheStream) {
  for (const ScrambleImplementation& impl : ScrambleImplementations()) {
    if (!impl.runsHere()) {
      std::printf("note: the %s unscrambling cannot run on this machine, not tested\n", impl.name);
      continue;
    }
    for (size_t offset : {0, 1, 3, 8})
      for (uint32_t n = 0; n <= 300; ++n) {
        uint32_t state = n * 0x9E3779B9u, after = state;
        for (uint32_t i = 0; i < n; ++i) after = after * 0x08088405u + 1;
        std::vector<uint8_t> data(offset + n, 0);
        ASSERT_EQ(impl.run(data.data() + offset, n, state), after) << impl.name << ", " << n;
        data.erase(data.begin(), data.begin() + offset);
        ASSERT_EQ(data, Stream(state, n))
            << impl.name << ", " << n << " bytes at offset " << offset;
      }
  }
}

}  // namespace
