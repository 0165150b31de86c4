// Keyed hashing for the store's in-memory hash tables, and the list of
// those tables.  The process draws 64 random bytes once (ProcessSeed) and
// every table derives its own key from them plus a per-table counter
// (NewHashKey), so no two tables hash alike and nobody outside the process
// can predict a hash value, which keeps crafted keys from lengthening probes.
//
// The tables, each in its own file:
//   KeyIndex  (key_index.h)   reader: key -> offset of its last index entry,
//                             and every entry in file order; exact lookups.
//   OffsetSet (offset_set.h)  reader: object offsets already visited, for
//                             verify and the walks over unique objects.
//   KeyMap    (key_map.h)     writer: key -> object id while keys are added.
//
// The hash is a multiply-and-fold design tuned for short keys: up to 16
// bytes cost two loads and two 64x64->128-bit multiplies.  Nothing stored or
// returned depends on hash values; only probe lengths do.
//
// All functions are thread-safe.
#ifndef VORLSTORE_CORE_HASH_H_
#define VORLSTORE_CORE_HASH_H_

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
// matter for a hash, so they are the native-order ones.
inline std::uint64_t HashBytes(const HashKey& key, const void* data, std::size_t n) {
  using hash_internal::Fold;
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t state = key.k[0];
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n <= 16) {
    if (n >= 8) {
      a = Load64(p);
      b = Load64(p + n - 8);
    } else if (n >= 4) {
      a = Load32(p);
      b = Load32(p + n - 4);
    } else if (n > 0) {
      a = (std::uint64_t{p[0]} << 16) | (std::uint64_t{p[n >> 1]} << 8) | p[n - 1];
    }
  } else {
    // 16 bytes per step; the last (possibly overlapping) 16 bytes go into
    // the final fold, which reads only bytes inside [data, data + n).
    std::size_t left = n;
    while (left > 16) {
      state = Fold(Load64(p) ^ key.k[1], Load64(p + 8) ^ state);
      p += 16;
      left -= 16;
    }
    a = Load64(p + left - 16);
    b = Load64(p + left - 8);
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

#endif  // VORLSTORE_CORE_HASH_H_
