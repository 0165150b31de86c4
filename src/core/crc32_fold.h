// CRC-32 by folding with carry-less multiplication: the constants and the
// 128-bit steps shared by the PCLMULQDQ backend (crc32_pclmul.cc) and the
// VPCLMULQDQ backend (crc32_vpclmul.cc).  Include only where
// VORL_CRC32_HAVE_CLMUL is defined.
//
//
// The message is a polynomial over GF(2) whose first bit is the highest
// power; the raw remainder (preset and final complement aside) of a message
// M of n bits is M(x) * x^32 mod P.  The idea: a 16-byte block A that sits
// D bits before another block B contributes A * x^D to B's position, and
// A * x^D is congruent mod P to a polynomial of at most 96 bits that is
// obtained with two 64x64-bit carry-less multiplications.  XOR-ing that into
// B "folds" A away without changing the remainder.  Four (or sixteen)
// independent blocks are folded forward at once to hide the multiplier's
// latency; at the end one 128-bit block is left, and its remainder is
// computed with one more fold and a Barrett reduction.
//
// Bit order.  A reflected CRC takes each byte least significant bit first,
// so 16 bytes loaded little-endian put the message's first bit in register
// bit 0: register bit k holds the coefficient of x^(127-k).  The lower
// 64-bit lane holds the block's high half A_hi, the upper lane its low half
// A_lo (A = A_hi * x^64 + A_lo).  In this order a carry-less product of two
// 64-bit lanes a (for alpha) and b (for beta) comes out as the 128-bit
// register of alpha * beta * x: the product is one bit "short".
//
// Constants.  All of them are remainders x^n mod P, computed at compile time
// by XPowModP() below (n shifts of a reflected CRC register starting at
// x^0) and held bit-reflected like a CRC register: bit i is the coefficient
// of x^(31-i).  To multiply a lane by x^n (mod P) we store either
//  - (x^(n-33) mod P) in the lane's low 32 bits: the constant then stands
//    for x^32 * (x^(n-33) mod P), and with the extra x of the product gives
//    x^n; products reach all 128 bits, or
//  - (x^(n-1) mod P) << 32: products stay below x^96, which the final
//    reduction needs.
// Folding A forward by D bits multiplies A_hi by x^(D+64) and A_lo by x^D.
// Barrett reduction needs mu = floor(x^64 / P) and P itself, both 33 bits,
// reflected; BarrettMu() finds mu by long division.  Running this file's
// constexpr functions is the whole "table generator": no constant below is
// typed in by hand.
#ifndef VORLSTORE_CORE_CRC32_FOLD_H_
#define VORLSTORE_CORE_CRC32_FOLD_H_

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace vorl::crc32::fold {

inline constexpr std::uint32_t kPolynomial = 0xEDB88320u;  // P without x^32, reflected

// x^n mod P, reflected.  Multiplying a reflected register by x is a right
// shift; the x^32 that leaves bit 0 is replaced by P's lower terms.
consteval std::uint32_t XPowModP(unsigned n) {
  std::uint32_t v = 0x80000000u;  // x^0
  while (n-- > 0) v = (v >> 1) ^ (kPolynomial & (0u - (v & 1u)));
  return v;
}

consteval std::uint64_t Reverse(std::uint64_t v, int bits) {
  std::uint64_t r = 0;
  for (int i = 0; i < bits; ++i) r = (r << 1) | ((v >> i) & 1u);
  return r;
}

// P in 33 bits, reflected (bit 32 - t is the coefficient of x^t).
inline constexpr std::uint64_t kPolynomial33 = (std::uint64_t{kPolynomial} << 1) | 1u;

// floor(x^64 / P) by long division in normal bit order, then reflected.
consteval std::uint64_t BarrettMu() {
  using U128 = unsigned __int128;
  const U128 p = (U128{1} << 32) | Reverse(kPolynomial, 32);
  U128 r = U128{1} << 64;
  std::uint64_t q = 0;
  for (int d = 64; d >= 32; --d) {
    if ((r >> d) & 1u) {
      r ^= p << (d - 32);
      q |= std::uint64_t{1} << (d - 32);
    }
  }
  return Reverse(q, 33);
}

// The two lane multipliers that move a 128-bit block forward by `bits`.
struct Fold {
  std::uint64_t first;   // for the lower lane (A_hi): x^(bits + 64)
  std::uint64_t second;  // for the upper lane (A_lo): x^bits
};
// Products may fill all 128 bits.  REQUIRES: bits >= 33.
consteval Fold FoldBy(unsigned bits) { return {XPowModP(bits + 31), XPowModP(bits - 33)}; }
// Products stay below x^96.  REQUIRES: bits >= 1.
consteval Fold FoldNarrow(unsigned bits) {
  return {std::uint64_t{XPowModP(bits + 63)} << 32, std::uint64_t{XPowModP(bits - 1)} << 32};
}

inline constexpr Fold kFold128 = FoldBy(128), kFold256 = FoldBy(256), kFold384 = FoldBy(384),
                      kFold512 = FoldBy(512), kFold1024 = FoldBy(1024), kFold1536 = FoldBy(1536),
                      kFold2048 = FoldBy(2048);
// For the final reduction: A * x^32 as A_hi * x^96 + A_lo * x^32, and a
// multiplier for x^64, all with products below x^96.
inline constexpr Fold kFold32Narrow = FoldNarrow(32);
inline constexpr std::uint64_t kX64Narrow = std::uint64_t{XPowModP(63)} << 32;
inline constexpr std::uint64_t kMu33 = BarrettMu();

#define VORL_TARGET_PCLMUL __attribute__((target("pclmul,sse4.1")))
#define VORL_TARGET_VPCLMUL __attribute__((target("vpclmulqdq,pclmul,sse4.1,avx512f,avx512bw,avx512vl")))

VORL_TARGET_PCLMUL inline __m128i Lanes(Fold f) {
  return _mm_set_epi64x(static_cast<long long>(f.second), static_cast<long long>(f.first));
}

VORL_TARGET_PCLMUL inline __m128i Load128(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The block a moved forward by the distance k's multipliers stand for; the
// caller adds the result to the block found there.
VORL_TARGET_PCLMUL inline __m128i FoldOut(__m128i a, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11));
}

// Raw remainder of A * x^32 mod P for the 128-bit block A that ends the
// message.
VORL_TARGET_PCLMUL inline std::uint32_t Reduce(__m128i a) {
  // A * x^32 = A_hi * x^96 + A_lo * x^32: fold by 32 bits, narrowly, so that
  // B (congruent to A * x^32) has at most 96 bits.
  const __m128i b = FoldOut(a, Lanes(kFold32Narrow));
  // B = B_hi * x^64 + B_lo with B_hi in bits 32..63 of the lower lane.
  // B_hi * (x^64 mod P) has at most 64 bits, so H = that + B_lo, in the
  // upper lane, is congruent to B and fits 64 bits.
  const __m128i h = _mm_xor_si128(_mm_clmulepi64_si128(b, Lanes({kX64Narrow, 0}), 0x00), b);
  // Barrett: Q = floor(floor(H / x^32) * mu / x^32), R = H + Q * P, of
  // which only the low 32 bits are wanted.  Shifting the upper lane left by
  // 32 keeps H's high half alone, in the position the product with mu needs
  // for Q to land in the lower lane's upper 32 bits.
  const __m128i k = _mm_set_epi64x(static_cast<long long>(kPolynomial33), static_cast<long long>(kMu33));
  const __m128i q = _mm_clmulepi64_si128(_mm_slli_epi64(h, 32), k, 0x01);
  const __m128i qp = _mm_clmulepi64_si128(q, k, 0x10);
  // H's low half is in dword 3, the low 32 bits of Q * P in dword 2.
  return static_cast<std::uint32_t>(_mm_extract_epi32(h, 3) ^ _mm_extract_epi32(qp, 2));
}

// pshufb controls for moving bytes within a register: loading 16 bytes at
// kShift + r gives "byte j takes byte j + r - 16" (a left shift by 16 - r,
// zero-filled), at kShift + 16 + r "byte j takes byte j + r" (a right shift
// by r).  A control byte with its top bit set yields zero.
alignas(16) inline constexpr unsigned char kShift[48] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

// Folds the remaining bytes into x and returns the finished checksum.
// REQUIRES: at least 16 bytes precede p (they are what x holds).
VORL_TARGET_PCLMUL inline std::uint32_t Finish(__m128i x, const unsigned char* p, std::size_t size) {
  const __m128i k128 = Lanes(kFold128);
  while (size >= 16) {
    x = _mm_xor_si128(FoldOut(x, k128), Load128(p));
    p += 16;
    size -= 16;
  }
  if (size > 0) {
    // The message ends with x's 16 bytes and then r = size more.  Regroup
    // them as the first r bytes of x (a short block, zero-padded in front,
    // which does not change its value) followed by one whole block made of
    // x's last 16 - r bytes and the r new ones; then fold as usual.  The new
    // bytes are read with a 16-byte load that ends at the end of the data.
    const __m128i left = Load128(kShift + size);        // x's first r bytes, moved to the end
    const __m128i right = Load128(kShift + 16 + size);  // x's last 16 - r bytes, moved to the front
    const __m128i head = _mm_shuffle_epi8(x, left);
    const __m128i last = _mm_blendv_epi8(Load128(p + size - 16), _mm_shuffle_epi8(x, right), left);
    x = _mm_xor_si128(FoldOut(head, k128), last);
  }
  return ~Reduce(x);
}

}  // namespace vorl::crc32::fold

#endif  // VORLSTORE_CORE_CRC32_FOLD_H_
