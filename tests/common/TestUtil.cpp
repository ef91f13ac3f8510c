#include "tests/common/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace testutil {

TempDir::TempDir() {
  if (path().empty()) ADD_FAILURE() << "cannot create a temporary folder";
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void WriteFile(const fs::path& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

fs::path SourceDir() {
  const char* dir = std::getenv("PV_SOURCE_DIR");
  return dir ? fs::path(dir) : fs::current_path();
}

uint32_t CrcRegister(const Bytes& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return crc;
}

namespace {

class BitWriter {
 public:
  void Put(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
      if (bits_ % 8 == 0) out_.push_back(0);
      out_.back() |= uint8_t(((value >> i) & 1) << (bits_ % 8));
      ++bits_;
    }
  }
  Bytes& bytes() { return out_; }

 private:
  Bytes out_;
  size_t bits_ = 0;
};

void Put32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace

Bytes LiteralStream(const Bytes& data) {
  BitWriter w;
  w.Put(0, 8);  // plain literals
  w.Put(6, 8);  // 4096-byte dictionary
  for (uint8_t b : data) {
    w.Put(0, 1);
    w.Put(b, 8);
  }
  // End code: a copy flag, length symbol 15 (the 7-bit code 0000000) and
  // eight extra bits all set.
  w.Put(1, 1);
  w.Put(0, 7);
  w.Put(0xFF, 8);
  return w.bytes();
}

Bytes ZeroStream(uint32_t copies, bool last) {
  // Each copy is the same 24 bits (flag, length code 0000000 with extra
  // bits 254, or 85 for 349; distance code 11 with six low bits 0), one
  // bit after a byte border, behind the header and the literal's 9 bits.
  Bytes stream = {0, 6, 0};
  stream.reserve(3 * size_t(copies) + 9);
  for (uint32_t i = 0; i < copies; ++i) stream.insert(stream.end(), {0x02, 0xFC, 0x07});
  if (last) stream.insert(stream.end(), {0x02, 0xAA, 0x06});
  stream.insert(stream.end(), {0x02, 0xFE, 0x01});  // the end code: length value 517
  return stream;
}

Bytes ArchiveBody(const std::vector<TestRecord>& records) {
  Bytes body;
  for (const TestRecord& r : records) {
    Bytes stream = r.stream.empty() ? LiteralStream(r.data) : r.stream;
    body.push_back(uint8_t(r.name.size()));
    body.push_back(uint8_t(r.name.size() >> 8));
    body.insert(body.end(), r.name.begin(), r.name.end());
    Put32(body, r.dosDateTime);
    Put32(body, uint32_t(r.size >= 0 ? r.size : int64_t(r.data.size())));
    Put32(body, r.attributes);
    Put32(body, uint32_t(r.packedSize >= 0 ? r.packedSize : int64_t(stream.size())));
    Put32(body, uint32_t(r.check >= 0 ? r.check : CrcRegister(r.data)));
    body.insert(body.end(), stream.begin(), stream.end());
  }
  return body;
}

Bytes ArchiveFromBody(Bytes body) {
  uint32_t check = CrcRegister(body);
  uint32_t state = 0;  // the empty key
  for (uint8_t& b : body) {
    state = state * 0x08088405u + 1;
    b ^= uint8_t(state >> 24);
  }
  Put32(body, check);
  return body;
}

std::vector<std::pair<std::string, Bytes>> TreeContents(const fs::path& dir) {
  std::vector<std::pair<std::string, Bytes>> files;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file())
      files.emplace_back(fs::relative(e.path(), dir).generic_string(), ReadFile(e.path()));
  std::sort(files.begin(), files.end());
  return files;
}

int64_t LastWriteUnix(const fs::path& path) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.string().c_str(), GetFileExInfoStandard, &data)) return -1;
  uint64_t ticks = uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 |
                   data.ftLastWriteTime.dwLowDateTime;
  return int64_t(ticks / 10000000u) - 11644473600LL;
#else
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_mtime) : -1;
#endif
}

}  // namespace testutil
