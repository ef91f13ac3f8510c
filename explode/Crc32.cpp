#include "explode/Crc32.h"

#include <atomic>
#include <bit>
#include <cstring>

#include "explode/CpuCheck.h"
#include "explode/Tables.h"

#if PV_X86
#include <immintrin.h>
#endif

// Eight bytes are loaded as one little-endian integer.
static_assert(std::endian::native == std::endian::little);

namespace {

using Update = uint32_t (*)(const uint8_t* buffer, uint32_t count, uint32_t crc);

uint32_t UpdatePlain(const uint8_t* buffer, uint32_t n, uint32_t c) {
  using dcl::Crc32Slices;
  // Still one table lookup per byte, but eight independent ones per step.
  for (; n >= 8; n -= 8, buffer += 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, buffer, 4);
    std::memcpy(&hi, buffer + 4, 4);
    lo ^= c;
    c = Crc32Slices[7][lo & 0xFF] ^ Crc32Slices[6][(lo >> 8) & 0xFF] ^
        Crc32Slices[5][(lo >> 16) & 0xFF] ^ Crc32Slices[4][lo >> 24] ^
        Crc32Slices[3][hi & 0xFF] ^ Crc32Slices[2][(hi >> 8) & 0xFF] ^
        Crc32Slices[1][(hi >> 16) & 0xFF] ^ Crc32Slices[0][hi >> 24];
  }
  for (; n > 0; --n, ++buffer) c = dcl::Crc32Table[(c ^ *buffer) & 0xFF] ^ (c >> 8);
  return c;
}

bool Always() { return true; }

#if PV_X86

// The carry-less multiplication path. Polynomials over GF(2) are held the way
// the register holds them: the first bit of the data, bit 0 of its first
// byte, is the highest power of x. Sixteen bytes loaded into a vector are
// thus one polynomial of degree below 128 whose low 64-bit half H carries
// x^127..x^64 and whose high half L carries x^63..x^0. The register after
// the data is the data (with the starting register added into its first 32
// bits) times x^32 mod P, so only the data's remainder mod P matters. A
// block followed by D more bits stands for block * x^D; that is congruent to
// H * (x^(D+64) mod P) + L * (x^D mod P), two products of at most 96 bits,
// which are added into the block D bits on ("folding" it forward).

// x^e mod P, bit i holding x^(31-i) as in the register.
constexpr uint32_t PowerOfX(uint32_t e) {
  uint32_t r = 0x80000000u;  // x^0
  for (; e > 0; --e) r = (r >> 1) ^ ((r & 1) ? 0xEDB88320u : 0);
  return r;
}
// The register of byte 1 is x^7 * x^32 mod P and that of byte 0x80 x^32 mod P.
static_assert(PowerOfX(32) == dcl::Crc32Table[0x80] && PowerOfX(39) == dcl::Crc32Table[1]);

// The 64-bit factor that multiplies a half by x^e. Bit i of a 64-bit half
// holds x^(63-i), so the 127-bit product of two halves has x^(126-k) in bit
// k, one power short of the vector's x^(127-k): the factor carries x^(e-1).
constexpr uint64_t FoldFactor(uint32_t e) { return uint64_t(PowerOfX(e - 1)) << 32; }

// Both factors of a fold by D bits: for H in the low half, for L in the high.
template <uint32_t D>
PV_TARGET("sse2") inline __m128i FoldFactors() {
  constexpr uint64_t forH = FoldFactor(D + 64), forL = FoldFactor(D);
  return _mm_set_epi64x(int64_t(forL), int64_t(forH));
}

PV_TARGET("sse2,pclmul") inline __m128i Fold(__m128i block, __m128i factors) {
  return _mm_xor_si128(_mm_clmulepi64_si128(block, factors, 0x00),
                       _mm_clmulepi64_si128(block, factors, 0x11));
}

PV_TARGET("sse2") inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

PV_TARGET("sse2,pclmul") uint32_t UpdateClmul(const uint8_t* p, uint32_t n, uint32_t crc) {
  if (n < 64) return UpdatePlain(p, n, crc);
  // Four blocks in flight hide the latency of the products; each is folded
  // over the other three, 512 bits ahead.
  const __m128i by512 = FoldFactors<512>(), by128 = FoldFactors<128>();
  __m128i a0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(int32_t(crc)));
  __m128i a1 = Load(p + 16), a2 = Load(p + 32), a3 = Load(p + 48);
  for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
    a0 = _mm_xor_si128(Fold(a0, by512), Load(p));
    a1 = _mm_xor_si128(Fold(a1, by512), Load(p + 16));
    a2 = _mm_xor_si128(Fold(a2, by512), Load(p + 32));
    a3 = _mm_xor_si128(Fold(a3, by512), Load(p + 48));
  }
  a1 = _mm_xor_si128(Fold(a0, by128), a1);
  a2 = _mm_xor_si128(Fold(a1, by128), a2);
  a3 = _mm_xor_si128(Fold(a2, by128), a3);
  for (; n >= 16; p += 16, n -= 16) a3 = _mm_xor_si128(Fold(a3, by128), Load(p));
  // What is left is congruent to these 16 bytes followed by the last n: the
  // table finishes from a register of 0, the start already being inside.
  uint8_t last[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(last), a3);
  return UpdatePlain(p, n, UpdatePlain(last, 16, 0));
}

bool HasClmul() { return DetectCpuFeatures().pclmul; }

#endif

constexpr Crc32Implementation Implementations[] = {
    {"plain", Always, UpdatePlain},
#if PV_X86
    {"pclmul", HasClmul, UpdateClmul},
#endif
};

Update Fastest() {
  for (size_t i = std::size(Implementations); i-- > 1;)
    if (Implementations[i].runsHere()) return Implementations[i].update;
  return UpdatePlain;
}

// Chosen on the first call. Two threads that race here choose the same.
std::atomic<Update> Chosen{nullptr};

}  // namespace

std::span<const Crc32Implementation> Crc32Implementations() { return Implementations; }

uint32_t UpdateCrc32(const uint8_t* buffer, const uint32_t* count, const uint32_t* crc) {
  Update update = Chosen.load(std::memory_order_relaxed);
  if (!update) {
    update = Fastest();
    Chosen.store(update, std::memory_order_relaxed);
  }
  return update(buffer, *count, *crc);
}

namespace {

// a times b modulo the polynomial, both reflected (bit 31 is x^0).
uint32_t MultiplyModP(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = 1u << 31; m != 0 && a != 0; m >>= 1) {
    if (a & m) {
      product ^= b;
      a ^= m;
    }
    b = (b & 1) ? (b >> 1) ^ 0xEDB88320u : b >> 1;
  }
  return product;
}

}  // namespace

uint32_t ShiftCrc32(uint32_t crc, uint64_t count) {
  // x^8, then squared for each bit of count: x^(8 * 2^k).
  uint32_t power = 1u << 23;
  while (count != 0) {
    if (count & 1) crc = MultiplyModP(power, crc);
    power = MultiplyModP(power, power);
    count >>= 1;
  }
  return crc;
}
