#include "archive/PeImage.h"

namespace {

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

constexpr uint32_t NtHeaderOffsetField = 0x3C;  // e_lfanew in the DOS header
constexpr uint32_t FileHeaderSize = 20;
constexpr uint16_t Pe32Magic = 0x10B;
constexpr uint16_t Pe32PlusMagic = 0x20B;
// Offsets of NumberOfRvaAndSizes and of the data directories in the
// optional header; they differ only by the 64-bit image base and stack and
// heap sizes.
constexpr uint32_t Pe32DirectoryCount = 92, Pe32Directories = 96;
constexpr uint32_t Pe32PlusDirectoryCount = 108, Pe32PlusDirectories = 112;
constexpr uint32_t SecurityDirectory = 4;  // its "address" is a file offset

}  // namespace

bool PeCertificateTable(const uint8_t* head, size_t n, uint32_t* offset, uint32_t* size) {
  if (n < 0x40 || !StartsAsExecutable(head, n)) return false;
  const uint32_t nt = Get32(head + NtHeaderOffsetField);
  const uint64_t optional = uint64_t(nt) + 4 + FileHeaderSize;
  if (optional + 2 > n || Get32(head + nt) != 0x00004550) return false;  // "PE\0\0"
  uint32_t countAt, directories;
  switch (Get16(head + optional)) {
    case Pe32Magic: countAt = Pe32DirectoryCount, directories = Pe32Directories; break;
    case Pe32PlusMagic: countAt = Pe32PlusDirectoryCount, directories = Pe32PlusDirectories; break;
    default: return false;
  }
  const uint64_t entry = optional + directories + 8 * SecurityDirectory;
  if (entry + 8 > n || Get32(head + optional + countAt) <= SecurityDirectory) return false;
  *offset = Get32(head + entry);
  *size = Get32(head + entry + 4);
  return *offset != 0 && *size != 0;
}
