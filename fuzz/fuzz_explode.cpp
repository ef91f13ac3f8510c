// libFuzzer target: arbitrary bytes as a compressed stream for DclDecompress.
//
// Input: one control byte, then the stream. The control byte chooses how the
// read callback hands the stream out (bits 0-2: read sizes; bit 3: let the
// first read be short too; bit 4: claim more than a full read delivered).
// Each input is decoded twice, the second time in full reads over a work
// area filled differently; result and output must agree, which they can
// only if the decoder never depends on read boundaries or on bytes it has
// not written itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "explode/Explode.h"

namespace {

struct Feed {
  const uint8_t* data;
  size_t size;
  uint8_t control;
  size_t pos = 0;
  size_t lastRead = 0;  // where the last read began
  uint32_t reads = 0;
  bool ended = false;
  const DclWorkArea* area = nullptr;
  uint32_t writes = 0;
  uint32_t lastWrite = DclBlockSize;
  uint64_t total = 0;
  uint64_t hash = 1469598103934665603u;  // FNV-1a over the output
};

void Check(bool condition) {
  if (!condition) std::abort();
}

size_t ReadSize(const Feed& f) {
  static const size_t Fixed[] = {DclInBufSize, 1, 2, 7, 255, 2047};
  switch (f.control & 7) {
    case 6: return 1 + (f.reads * 37u) % 300;
    case 7: return f.pos < f.size ? 1 + f.data[f.pos] % 64 : 1;  // sizes from the data itself
    default: return Fixed[f.control & 7];
  }
}

uint32_t Read(uint8_t* buffer, uint32_t* count, void* param) {
  Feed& f = *static_cast<Feed*>(param);
  Check(*count == DclInBufSize);
  Check(!f.ended);  // nothing is read after the input has ended
  size_t want = ReadSize(f);
  if (f.reads == 0 && !(f.control & 8) && want < 5) want = 5;
  size_t n = want < f.size - f.pos ? want : f.size - f.pos;
  if (n > DclInBufSize) n = DclInBufSize;
  f.lastRead = f.pos;
  if (n > 0) std::memcpy(buffer, f.data + f.pos, n);
  f.pos += n;
  ++f.reads;
  f.ended = n == 0;
  *count = 0;
  return uint32_t(n) + ((f.control & 16) && n == DclInBufSize ? 1000u : 0u);
}

void Write(uint8_t* buffer, uint32_t* count, void* param) {
  Feed& f = *static_cast<Feed*>(param);
  const uint8_t* window = f.area->Window;
  Check(*count <= DclBlockSize);
  Check(buffer >= window && buffer + *count <= window + sizeof f.area->Window);
  // Output stays in the window; the input buffer, which follows it, keeps
  // what the last read put there.
  Check(std::memcmp(f.area->InBuf, f.data + f.lastRead, f.pos - f.lastRead) == 0);
  Check(f.lastWrite == DclBlockSize);  // only the last block is short
  f.lastWrite = *count;
  ++f.writes;
  f.total += *count;
  for (uint32_t i = 0; i < *count; ++i) f.hash = (f.hash ^ buffer[i]) * 1099511628211u;
}

uint32_t Decode(Feed& f, uint8_t fill) {
  // Exactly the work area's size, so that AddressSanitizer sees any access
  // past its end.
  std::unique_ptr<uint8_t[]> area(new uint8_t[DclWorkAreaSize]);
  std::memset(area.get(), fill, DclWorkAreaSize);
  f.area = reinterpret_cast<const DclWorkArea*>(area.get());
  return DclDecompress(Read, Write, area.get(), &f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  Feed f{data + 1, size - 1, data[0]};
  uint32_t result = Decode(f, 0x00);

  Check(result <= DclInputEnded);
  if (result == DclOk || result == DclInputEnded) {
    Check(f.writes > 0 && f.lastWrite < DclBlockSize);
    // No token yields more than 518 bytes from fewer than 7 bits.
    Check(f.total <= (8 * f.size / 7 + 1) * DclMaxCopy);
  } else {
    Check(f.writes == 0);
  }

  // The same stream in full reads, over a differently filled work area.
  // A short first read ends differently by design, so it is left out.
  if (f.size >= 5 && (f.control & 8) == 0) {
    Feed again{data + 1, size - 1, 0};
    Check(Decode(again, 0xFF) == result);
    Check(again.total == f.total && again.hash == f.hash && again.writes == f.writes);
  }
  return 0;
}
