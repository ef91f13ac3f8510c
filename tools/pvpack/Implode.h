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

// The most input one stream may hold: the archive records a file's size in
// 32 bits.
inline constexpr uint64_t MaxInput = 0xFFFFFFFFu;

// Up to this input size the archive writer has all six streams of a full
// search written while it measures them; above it, it measures first and
// encodes the smallest again, reading the input a second time. (A race
// writes as it measures at any size: only its leader runs past 64 KiB.)
inline constexpr uint64_t OnePassMax = uint64_t(8) << 20;

// Where the encoder takes its input from, a piece at a time: read fills up
// to count bytes at buffer and sets *got, 0 only at the end of the input. It
// returns false when reading failed, which stops the encoder.
struct Input {
  bool (*read)(void* context, uint8_t* buffer, size_t count, size_t* got);
  void* context;
  uint64_t sizeHint;  // the expected input size, only to size buffers
};

// Where a stream goes, in order, a piece at a time. write returns false when
// it could not keep the bytes, which stops the encoder.
struct Output {
  bool (*write)(void* context, const uint8_t* data, size_t size);
  void* context;
};

enum class Status {
  Ok,
  ReadFailed,   // the input's read failed
  WriteFailed,  // an output's write failed
  TooLong,      // more than MaxInput bytes of input
  OverLimit,    // every stream would be longer than the limit asked for
};

// One of the six ways to encode: a literal mode and a dictionary size.
struct Encoding {
  LiteralMode mode = LiteralMode::Binary;
  unsigned dictBits = 4;    // 4, 5 or 6: a dictionary of 1024, 2048 or 4096 bytes
  uint64_t streamSize = 0;  // bytes of the complete stream
};

// The six encodings, in the order ImplodeAll takes its outputs and breaks
// ties: Binary before Ascii, then dictionary bits 4, 5, 6.
inline constexpr size_t EncodingCount = 6;
inline constexpr Encoding EncodingAt(size_t index) {
  return {index < 3 ? LiteralMode::Binary : LiteralMode::Ascii, unsigned(4 + index % 3), 0};
}
inline constexpr size_t EncodingIndex(const Encoding& encoding) {
  return (encoding.mode == LiteralMode::Ascii ? 3 : 0) + (encoding.dictBits - 4);
}

// How ImplodeAll looks for the smallest stream.
enum class Search {
  // Every encoding to the end: the smallest of the six, always; and long
  // copies parsed with more care (see ImplodeTo).
  Full,
  // A race: an encoding that falls clearly behind the best on the input so
  // far is dropped, and past the first 64 KiB only the leader runs on, where
  // Full runs six (sooner on data that has not packed at all so far). Its
  // result is rarely larger than Full's, and by little.
  Race,
};

// Encodes the input into one complete stream written to out: the two header
// bytes, the tokens and the end code, padded with zero bits to a whole byte.
// The stream is as short as the format allows, except around long copies
// (long runs, repeated passages), where it may lose a few bits per copy:
// copies of 32 bytes or more with parse Race (on a product of documents
// 0.002% in all), of 256 or more with parse Full, which takes about twice
// the time on text. ImplodeAll with a search writes the streams ImplodeTo
// writes with that parse. dictBits must be 4, 5 or 6.
Status ImplodeTo(const Input& in, LiteralMode mode, unsigned dictBits, const Output& out,
                 Search parse = Search::Race);

// Encodes the input the six ways in one pass (see Search) and sets smallest
// to the shortest stream of those run to the end (the first of equals).
// outputs is null (only measure) or six outputs, in the order of EncodingAt,
// that receive the streams; those of encodings dropped from a race receive a
// part. Stops with OverLimit as soon as every stream still running is sure
// to be longer than limit bytes. The streams are the ones ImplodeTo makes
// with parse search:
// what each encoding does does not depend on the others beside it, and what
// a race drops depends on nothing but the input.
Status ImplodeAll(const Input& in, const Output* outputs, uint64_t limit, Search search,
                  Encoding& smallest);

// ImplodeTo over bytes in memory. Returns an empty vector (never a valid
// stream) when mode or dictBits is out of range or size is more than
// MaxInput.
std::vector<uint8_t> Implode(const uint8_t* data, size_t size, LiteralMode mode,
                             unsigned dictBits, Search parse = Search::Race);

}  // namespace implode
