// libFuzzer target: arbitrary bytes as an archive body for the record walk
// (RecordWalk) and the rules of names (RecordFaults).
//
// Input: one control byte, then the body as it stands in a file
// (scrambled). The walk takes the body once whole and once in pieces whose
// sizes follow from the control byte; both must gather the same records,
// with the same check value and result, and each record's scrambling state
// must unscramble its packed stream as the whole walk did. The rules must
// give faults in record order, each naming a record that exists.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/Format.h"
#include "fuzz/FuzzUtil.h"

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<uint8_t> scrambled(data + 1, data + size);
  const int64_t length = int64_t(scrambled.size());

  std::vector<uint8_t> whole = scrambled;
  RecordWalk once(length);
  once.Take(whole.data(), whole.size());

  std::vector<uint8_t> pieces = scrambled;
  RecordWalk split(length);
  size_t step = size_t(data[0] % 29) + 1;
  for (size_t at = 0; at < pieces.size();) {
    const size_t n = std::min(step, pieces.size() - at);
    split.Take(pieces.data() + at, n);
    at += n;
    step = step * 7 % 31 + 1;
  }

  Check(whole == pieces, "the pieces unscramble otherwise than the whole");
  Check(once.Check() == split.Check(), "the pieces' check value differs");
  Check(once.Result() == split.Result(), "the pieces' result differs");
  Check(once.Records().size() == split.Records().size(), "the pieces gather other records");
  for (size_t i = 0; i < once.Records().size(); ++i) {
    const RecordHead& a = once.Records()[i];
    const RecordHead& b = split.Records()[i];
    Check(a.name == b.name && std::memcmp(&a.header, &b.header, sizeof a.header) == 0 &&
              a.streamStart == b.streamStart && a.streamState == b.streamState,
          "the pieces gather another record");
    // The state at the stream's start takes up the scrambling there.
    const size_t start = size_t(a.streamStart);
    const size_t n = std::min<size_t>(a.header.PackedSize, 64);
    Check(start + n <= scrambled.size(), "a record's stream runs past the body");
    std::vector<uint8_t> stream(scrambled.begin() + std::ptrdiff_t(start),
                                scrambled.begin() + std::ptrdiff_t(start + n));
    BodySeal::Resume(a.streamState).Unseal(stream.data(), stream.size());
    Check(n == 0 || std::memcmp(stream.data(), whole.data() + start, n) == 0,
          "a record's state does not take up its stream");
  }

  size_t last = 0;
  bool first = true;
  for (const RecordFault& fault : RecordFaults(once.Records())) {
    Check(fault.index < once.Records().size(), "a fault names no record");
    Check(first || fault.index > last, "the faults are out of order");
    Check(!fault.why.empty(), "a fault gives no reason");
    last = fault.index;
    first = false;
  }
  return 0;
}
