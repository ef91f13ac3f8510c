// Our CRC-32 and decoder against zlib on the project's own files: text and
// compressed images from a hundred bytes to some 15 KB, which take the fast
// CRC paths through many rounds of their bulk loops. Native builds only.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "explode/Crc32.h"
#include "explode/Explode.h"
#include "tests/common/FileBytes.h"
#include "tests/common/PackedStreams.h"
#include "tests/common/TestUtil.h"
#include "tools/pvpack/Pack.h"

namespace {

using pack::Bytes;

// Feeds a stream to the decoder from memory and keeps what it writes.
struct MemoryRun {
  const Bytes& in;
  size_t pos = 0;
  Bytes out;

  static uint32_t Read(uint8_t* buffer, uint32_t* count, void* param) {
    auto* run = static_cast<MemoryRun*>(param);
    uint32_t n = uint32_t(std::min<size_t>(run->in.size() - run->pos, *count));
    std::memcpy(buffer, run->in.data() + run->pos, n);
    run->pos += n;
    return n;
  }
  static void Write(uint8_t* buffer, uint32_t* count, void* param) {
    auto* run = static_cast<MemoryRun*>(param);
    run->out.insert(run->out.end(), buffer, buffer + *count);
  }
};

TEST(AgainstZlib, CrcAndDecoderOnRealFiles) {
  std::vector<pack::TreeFile> files;
  for (const char* dir : {"sample", "docs"}) {
    std::vector<pack::TreeFile> more;
    pack::Fault fault;
    ASSERT_TRUE(pack::CollectTree((testutil::SourceDir() / dir).string(), more, fault))
        << fault.Message();
    files.insert(files.end(), more.begin(), more.end());
  }
  ASSERT_GE(files.size(), 10u);
  // The streams pvpack writes.
  Bytes archive;
  std::vector<Bytes> streams;
  ASSERT_EQ(testutil::PackStreams(files, {}, archive, streams), "");
  alignas(DclWorkArea) static uint8_t workArea[DclWorkAreaSize];
  for (size_t i = 0; i < files.size(); ++i) {
    const pack::TreeFile& file = files[i];
    SCOPED_TRACE(file.name);
    Bytes data;
    ASSERT_TRUE(testutil::ReadFileBytes(file.path, data));
    const uint32_t size = uint32_t(data.size());
    const uint32_t zlibCrc = uint32_t(crc32(0, data.data(), size));
    for (const Crc32Implementation& impl : Crc32Implementations()) {
      if (!impl.runsHere()) continue;
      EXPECT_EQ(~impl.update(data.data(), size, 0xFFFFFFFFu), zlibCrc) << impl.name;
    }
    if (data.empty()) continue;  // no stream to decode
    MemoryRun run{streams[i], 0, {}};
    EXPECT_EQ(DclDecompress(MemoryRun::Read, MemoryRun::Write, workArea, &run), uint32_t(DclOk));
    EXPECT_EQ(~testutil::CheckValue(run.out.data(), run.out.size()), zlibCrc);
    EXPECT_TRUE(run.out == data);
  }
}

}  // namespace
