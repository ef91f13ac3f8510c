#include "archive/Encript.h"

#include <atomic>

#include "explode/CpuCheck.h"

#if PV_X86
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t Multiplier = 134775813u;  // 0x08088405

using Scramble = uint32_t (*)(uint8_t* buffer, uint32_t count, uint32_t state);

// The generator's step, once per byte.
uint32_t ScramblePlain(uint8_t* buffer, uint32_t count, uint32_t state) {
  for (uint32_t i = 0; i < count; ++i) {
    state = state * Multiplier + 1;
    buffer[i] ^= uint8_t(state >> 24);
  }
  return state;
}

bool Always() { return true; }

#if PV_X86

// k steps of the generator as one: state * mul + add (mod 2^32). Lanes
// that each start from the state before a block jump straight to their
// own byte of it, so no lane waits for another.
struct Jump {
  uint32_t mul, add;
};

constexpr Jump JumpOf(uint32_t k) {
  Jump j{1, 0};
  for (; k > 0; --k) j = {j.mul * Multiplier, j.add * Multiplier + 1};
  return j;
}
static_assert(JumpOf(1).mul == Multiplier && JumpOf(1).add == 1);
static_assert(JumpOf(2).mul == Multiplier * Multiplier && JumpOf(2).add == Multiplier + 1);

// The jumps of the lanes of four vectors of Width 32-bit lanes, in memory
// order. Packing four vectors down to bytes works within 128-bit halves,
// so lane e of vector k ends up as byte 16 * (e / 4) + 4 * k + e % 4 of the
// block; each lane gets the jump to the state of that byte.
template <uint32_t Width>
struct LaneJumps {
  alignas(32) uint32_t mul[4 * Width];
  alignas(32) uint32_t add[4 * Width];
};

template <uint32_t Width>
constexpr LaneJumps<Width> MakeLaneJumps() {
  LaneJumps<Width> t{};
  for (uint32_t k = 0; k < 4; ++k)
    for (uint32_t e = 0; e < Width; ++e) {
      Jump j = JumpOf(16 * (e / 4) + 4 * k + e % 4 + 1);
      t.mul[k * Width + e] = j.mul;
      t.add[k * Width + e] = j.add;
    }
  return t;
}

constexpr LaneJumps<4> SseLanes = MakeLaneJumps<4>();
constexpr LaneJumps<8> AvxLanes = MakeLaneJumps<8>();

PV_TARGET("sse2") inline __m128i Load128(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

// Combines 16 bytes at p with the top bytes of the states in v0..v3.
PV_TARGET("sse2")
inline void Combine16(uint8_t* p, __m128i v0, __m128i v1, __m128i v2, __m128i v3) {
  // Top bytes are 0..255, so neither signed packing to 16 bits nor unsigned
  // packing to 8 bits saturates.
  __m128i w01 = _mm_packs_epi32(_mm_srli_epi32(v0, 24), _mm_srli_epi32(v1, 24));
  __m128i w23 = _mm_packs_epi32(_mm_srli_epi32(v2, 24), _mm_srli_epi32(v3, 24));
  __m128i key = _mm_packus_epi16(w01, w23);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_xor_si128(Load128(p), key));
}

// The low 32 bits of each lane's product, from SSE2's even-lane multiply.
PV_TARGET("sse2") inline __m128i MulLow32(__m128i a, __m128i b) {
  __m128i even = _mm_mul_epu32(a, b);
  __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
  return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                            _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
}

PV_TARGET("sse2") uint32_t ScrambleSse2(uint8_t* p, uint32_t n, uint32_t state) {
  constexpr Jump block = JumpOf(16);
  const __m128i m0 = Load128(SseLanes.mul), m1 = Load128(SseLanes.mul + 4),
                m2 = Load128(SseLanes.mul + 8), m3 = Load128(SseLanes.mul + 12);
  const __m128i a0 = Load128(SseLanes.add), a1 = Load128(SseLanes.add + 4),
                a2 = Load128(SseLanes.add + 8), a3 = Load128(SseLanes.add + 12);
  for (; n >= 16; p += 16, n -= 16) {
    __m128i s = _mm_set1_epi32(int32_t(state));
    Combine16(p, _mm_add_epi32(MulLow32(s, m0), a0), _mm_add_epi32(MulLow32(s, m1), a1),
              _mm_add_epi32(MulLow32(s, m2), a2), _mm_add_epi32(MulLow32(s, m3), a3));
    state = state * block.mul + block.add;
  }
  return ScramblePlain(p, n, state);
}

PV_TARGET("avx2") inline __m256i Load256(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

PV_TARGET("avx2") uint32_t ScrambleAvx2(uint8_t* p, uint32_t n, uint32_t state) {
  constexpr Jump block = JumpOf(32);
  const __m256i m0 = Load256(AvxLanes.mul), m1 = Load256(AvxLanes.mul + 8),
                m2 = Load256(AvxLanes.mul + 16), m3 = Load256(AvxLanes.mul + 24);
  const __m256i a0 = Load256(AvxLanes.add), a1 = Load256(AvxLanes.add + 8),
                a2 = Load256(AvxLanes.add + 16), a3 = Load256(AvxLanes.add + 24);
  for (; n >= 32; p += 32, n -= 32) {
    __m256i s = _mm256_set1_epi32(int32_t(state));
    __m256i v0 = _mm256_add_epi32(_mm256_mullo_epi32(s, m0), a0);
    __m256i v1 = _mm256_add_epi32(_mm256_mullo_epi32(s, m1), a1);
    __m256i v2 = _mm256_add_epi32(_mm256_mullo_epi32(s, m2), a2);
    __m256i v3 = _mm256_add_epi32(_mm256_mullo_epi32(s, m3), a3);
    __m256i w01 = _mm256_packs_epi32(_mm256_srli_epi32(v0, 24), _mm256_srli_epi32(v1, 24));
    __m256i w23 = _mm256_packs_epi32(_mm256_srli_epi32(v2, 24), _mm256_srli_epi32(v3, 24));
    __m256i key = _mm256_packus_epi16(w01, w23);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_xor_si256(Load256(p), key));
    state = state * block.mul + block.add;
  }
  return ScramblePlain(p, n, state);
}

bool HasSse2() { return DetectCpuFeatures().sse2; }
bool HasAvx2() { return DetectCpuFeatures().avx2; }

#endif

constexpr ScrambleImplementation Implementations[] = {
    {"plain", Always, ScramblePlain},
#if PV_X86
    {"sse2", HasSse2, ScrambleSse2},
    {"avx2", HasAvx2, ScrambleAvx2},
#endif
};

Scramble Fastest() {
  for (size_t i = std::size(Implementations); i-- > 1;)
    if (Implementations[i].runsHere()) return Implementations[i].run;
  return ScramblePlain;
}

// Chosen on the first call. Two threads that race here choose the same.
std::atomic<Scramble> Chosen{nullptr};

}  // namespace

uint32_t KeyState(std::string_view key) {
  uint32_t sum = 0;
  size_t length = key.size() & 0xFFFF;  // the length is kept in 16 bits
  for (size_t i = 1; i <= length; ++i)
    sum += uint32_t(uint8_t(key[i - 1])) << ((i % 4) * 8);
  return sum;
}

std::span<const ScrambleImplementation> ScrambleImplementations() { return Implementations; }

uint32_t StateAfter(uint32_t state, uint64_t count) {
  // One step is state * a + c; 2^k steps are again of that form.
  uint32_t a = 134775813u, c = 1;
  uint32_t totalA = 1, totalC = 0;
  for (; count != 0; count >>= 1) {
    if (count & 1) {
      totalA *= a;
      totalC = totalC * a + c;
    }
    c = c * a + c;
    a *= a;
  }
  return state * totalA + totalC;
}

uint32_t CryptBufferFrom(uint8_t* buffer, uint32_t count, uint32_t state) {
  if (count == 0) return state;
  Scramble scramble = Chosen.load(std::memory_order_relaxed);
  if (!scramble) {
    scramble = Fastest();
    Chosen.store(scramble, std::memory_order_relaxed);
  }
  // Each byte takes one step, then the state's top 8 bits.
  return scramble(buffer, count, state);
}
