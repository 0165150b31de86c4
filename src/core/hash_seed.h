// Keyed hashing for the reader's hash containers.  The process draws 64
// random bytes once (ProcessSeed) and every container derives its own key
// from them plus a per-container counter (NewHashKey), so no two containers
// hash alike and nobody outside the process can predict a hash value.
//
// The hash itself is a multiply-and-fold design tuned for short keys: up to
// 16 bytes cost two loads and two 64x64->128-bit multiplies.  Nothing stored
// or returned depends on hash values; only probe lengths do.
//
// All functions are thread-safe.
#ifndef VORLSTORE_CORE_HASH_SEED_H_
#define VORLSTORE_CORE_HASH_SEED_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/coding.h"

namespace vorl {

// The 64 random bytes of this process, drawn on first use.  Concurrent first
// callers agree on one value: the first one stored wins.
const std::array<std::uint64_t, 8>& ProcessSeed();

// The key of one hash container.
struct HashKey {
  std::uint64_t k[4];
};

// A key for a new container: the process seed mixed with a counter that no
// other container in this process gets.
HashKey NewHashKey();

namespace hash_internal {

// The high and low halves of the 128-bit product, folded together.
inline std::uint64_t Fold(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

}  // namespace hash_internal

// Hash of n bytes at data under `key`.  The byte order of the loads does not
// matter for a hash, so the format's unaligned loads are reused.
inline std::uint64_t HashBytes(const HashKey& key, const void* data, std::size_t n) {
  using hash_internal::Fold;
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t state = key.k[0];
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n <= 16) {
    if (n >= 8) {
      a = LoadBE64(p);
      b = LoadBE64(p + n - 8);
    } else if (n >= 4) {
      a = LoadBE32(p);
      b = LoadBE32(p + n - 4);
    } else if (n > 0) {
      a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n >> 1]} << 8) | p[n - 1];
    }
  } else {
    // 16 bytes per step; the last (possibly overlapping) 16 bytes go into
    // the final fold, which reads only bytes inside [data, data + n).
    std::size_t left = n;
    while (left > 16) {
      state = Fold(LoadBE64(p) ^ key.k[1], LoadBE64(p + 8) ^ state);
      p += 16;
      left -= 16;
    }
    a = LoadBE64(p + left - 16);
    b = LoadBE64(p + left - 8);
  }
  // The length enters here, so inputs that load the same words (e.g. "ab"
  // and "aab") still differ.
  return Fold(a ^ key.k[1] ^ n, b ^ key.k[2] ^ state) ^ Fold(state ^ n, key.k[3]);
}

// Hash of a 64-bit value under `key`.
inline std::uint64_t HashU64(const HashKey& key, std::uint64_t v) {
  using hash_internal::Fold;
  return Fold(Fold(v ^ key.k[0], key.k[1]) ^ key.k[2], key.k[3]);
}

}  // namespace vorl

#endif  // VORLSTORE_CORE_HASH_SEED_H_
