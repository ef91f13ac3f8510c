// A minimal PE header, enough for the code that looks for a certificate
// table, so tests need no real executable.
#pragma once

#include <cstdint>
#include <vector>

namespace testutil {

// 512 bytes: "MZ", the NT header at 0x40, a PE32 optional header whose
// security directory names (tableOffset, tableSize); (0, 0) for none.
inline std::vector<uint8_t> FakePeImage(uint32_t tableOffset = 0, uint32_t tableSize = 0) {
  std::vector<uint8_t> image(512, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) image[at + i] = uint8_t(v >> (8 * i));
  };
  image[0] = 'M';
  image[1] = 'Z';
  put32(0x3C, 0x40);
  put32(0x40, 0x00004550);            // "PE\0\0"
  const size_t optional = 0x40 + 24;  // after the signature and file header
  image[optional] = 0x0B;             // PE32
  image[optional + 1] = 0x01;
  put32(optional + 92, 16);  // NumberOfRvaAndSizes
  put32(optional + 96 + 8 * 4, tableOffset);
  put32(optional + 96 + 8 * 4 + 4, tableSize);
  return image;
}

// Sets the security directory of an image made by FakePeImage.
inline void SetCertificateTable(std::vector<uint8_t>& image, uint32_t offset, uint32_t size) {
  std::vector<uint8_t> header = FakePeImage(offset, size);
  std::copy(header.begin(), header.begin() + 512, image.begin());
}

}  // namespace testutil
