// Whole files and their check values, for the tests and the benchmark
// (header only: the benchmark does not link the test framework).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "explode/Crc32.h"

namespace testutil {

// Reads a whole file into data. False when it cannot be read.
inline bool ReadFileBytes(const std::string& path, std::vector<uint8_t>& data) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  data.resize(size_t(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), size);
  return in.gcount() == size;
}

// The CRC-32 register over data, started at 0xFFFFFFFF, not complemented,
// as a record's check value holds it.
inline uint32_t CheckValue(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  while (size > 0) {  // UpdateCrc32 takes a 32-bit count
    uint32_t n = uint32_t(std::min<size_t>(size, size_t(1) << 30));
    crc = UpdateCrc32(data, &n, &crc);
    data += n;
    size -= n;
  }
  return crc;
}

}  // namespace testutil
