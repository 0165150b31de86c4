// StableHash: a keyed 64-bit hash of byte strings whose values never change.
//
// Unlike the reader's in-memory containers (hash.h), whose hash may be
// replaced at any time, this function's values are stored in files (the
// on-disk hash index) and used by other machines (a store set routes keys to
// shards with StableHash64), so its definition is frozen: the known-answer
// tests in tests/core/stable_hash_test.cc pin it, and a change to it needs a
// new section version.
//
// Definition, for a seed s and n key bytes.  All words are read big-endian,
// so the value is the same on every machine; Fold(x, y) is the 128-bit
// product x * y with its high and low halves xor-ed together, and
// Finish(x) is the finaliser x ^= x >> 33; x *= F0; x ^= x >> 33; x *= F1;
// x ^= x >> 33.
//   k[i]  = Finish(s ^ C[i]) for i = 0..3, C = the first 64 bits of the
//           fractional parts of the square roots of 2, 3, 5 and 7.
//   n <= 16: a, b = the words described by LoadShort (below), state = k[0].
//   n > 16:  state = k[0]; for each 16-byte block but the last (which may
//            overlap the one before): state = Fold(w0 ^ k[1], w1 ^ k[2] ^ state);
//            a, b = the last 16 bytes.
//   hash  = Finish(Fold(a ^ k[1], b ^ k[2] ^ state) ^ Fold(a ^ k[3] ^ n, b ^ k[0])).
// Two products in the final step keep a known-seed hash from collapsing for
// a whole class of keys when one operand happens to be zero.
//
// All functions are pure and thread-safe.
#ifndef VORLSTORE_CORE_STABLE_HASH_H_
#define VORLSTORE_CORE_STABLE_HASH_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/coding.h"

namespace vorl {

class StableHasher {
 public:
  explicit constexpr StableHasher(std::uint64_t seed)
      : k_{Finish(seed ^ kRoots[0]), Finish(seed ^ kRoots[1]), Finish(seed ^ kRoots[2]),
           Finish(seed ^ kRoots[3])} {}

  std::uint64_t operator()(std::string_view bytes) const { return Hash(bytes.data(), bytes.size()); }

  std::uint64_t Hash(const void* data, std::size_t n) const {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint64_t state = k_[0];
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n <= 16) {
      LoadShort(p, n, a, b);
    } else {
      std::size_t left = n;
      for (; left > 16; left -= 16, p += 16)
        state = Fold(LoadBE64(p) ^ k_[1], LoadBE64(p + 8) ^ k_[2] ^ state);
      a = LoadBE64(p + left - 16);
      b = LoadBE64(p + left - 8);
    }
    return Finish(Fold(a ^ k_[1], b ^ k_[2] ^ state) ^ Fold(a ^ k_[3] ^ n, b ^ k_[0]));
  }

 private:
  static constexpr std::uint64_t kRoots[4] = {0x6A09E667F3BCC908u, 0xBB67AE8584CAA73Bu, 0x3C6EF372FE94F82Bu,
                                              0xA54FF53A5F1D36F1u};

  static constexpr std::uint64_t Finish(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDu;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53u;
    return x ^ (x >> 33);
  }
  static std::uint64_t Fold(std::uint64_t x, std::uint64_t y) {
    const unsigned __int128 r = static_cast<unsigned __int128>(x) * y;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
  }
  // Keys of up to 16 bytes as two words, from at most two overlapping
  // loads: 8..16 bytes give the first and the last 8; 4..7 the first and the
  // last 4; 1..3 give a = p[0] << 16 | p[n / 2] << 8 | p[n - 1] and b = 0;
  // nothing gives zeros.  n enters the final step, so "ab" and "aab" differ.
  static void LoadShort(const unsigned char* p, std::size_t n, std::uint64_t& a, std::uint64_t& b) {
    if (n >= 8) {
      a = LoadBE64(p);
      b = LoadBE64(p + n - 8);
    } else if (n >= 4) {
      a = LoadBE32(p);
      b = LoadBE32(p + n - 4);
    } else if (n > 0) {
      a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n / 2]} << 8) | p[n - 1];
    }
  }

  std::uint64_t k_[4];
};

// The seed of StableHash64.  Fixed forever: shard routing depends on it.
inline constexpr std::uint64_t kStableHashSeed = 0;

// The stable hash of `key` under kStableHashSeed: the same value on every
// machine, process and version.
inline std::uint64_t StableHash64(std::string_view key) {
  static constexpr StableHasher kHasher(kStableHashSeed);
  return kHasher(key);
}

}  // namespace vorl

#endif  // VORLSTORE_CORE_STABLE_HASH_H_
