// OffsetSet: the object offsets a walk has already visited, so that verify
// and the unique-object walks handle each record once however many keys
// share it.  An open-addressing table of 64-bit values keyed by NewHashKey()
// (see hash.h for the other tables).
//
// One walk owns one set; not thread-safe.
#ifndef VORLSTORE_CORE_OFFSET_SET_H_
#define VORLSTORE_CORE_OFFSET_SET_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/hash.h"

namespace vorl {

class OffsetSet {
 public:
  // Sized for `expected` distinct offsets; more still fit, after a rehash.
  explicit OffsetSet(std::size_t expected);

  // Adds `offset`; false when it was already present.
  bool Insert(std::uint64_t offset);

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};

  void Rebuild(std::size_t expected);

  std::vector<std::uint64_t> slots_;  // kEmpty marks a free slot
  std::size_t slot_mask_ = 0;
  std::size_t size_ = 0;
  std::size_t max_size_ = 0;
  bool has_empty_value_ = false;  // kEmpty itself cannot live in a slot
  HashKey hash_key_;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_OFFSET_SET_H_
