// Encoder of the implode compressed-data format, the counterpart of
// DclDecompress. Part of the packing tool only: the setup program never
// compresses anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace implode {

enum class LiteralMode : uint8_t {
  Binary = 0,  // every literal is 8 plain bits
  Ascii = 1,   // literals are prefix-coded (short codes for text)
};

// Compresses size bytes at data into one complete stream: the two header
// bytes, the tokens and the end code, padded with zero bits to a whole byte.
// dictBits is 4, 5 or 6 (a dictionary of 1024, 2048 or 4096 bytes). The
// stream is as short as the format allows, except around copies of 256
// bytes or more (long runs, highly repetitive data), where it may lose a
// few bits per such copy. Returns an empty vector (never a valid stream)
// when mode or dictBits is out of range or size is 4 GiB - 8 KiB or more.
std::vector<uint8_t> Implode(const uint8_t* data, size_t size, LiteralMode mode,
                             unsigned dictBits);

// The smallest stream over both literal modes and the three dictionary
// sizes. Ties go to the first of Binary/Ascii and 4/5/6 in that order, so
// the result depends on nothing but the data. Empty as Implode's.
std::vector<uint8_t> ImplodeSmallest(const uint8_t* data, size_t size);

}  // namespace implode
