#include "core/offset_set.h"

#include <bit>
#include <utility>

namespace vorl {
namespace {

// Table size for n offsets: a power of two (the slot is hash & mask) with the
// load kept at or below 2/3.
std::size_t SlotsFor(std::size_t n) {
  if (n == 0) return 0;
  return std::bit_ceil(n + n / 2 + 1);
}

}  // namespace

OffsetSet::OffsetSet(std::size_t expected) : hash_key_(NewHashKey()) { Rebuild(expected); }

bool OffsetSet::Insert(std::uint64_t offset) {
  if (offset == kEmpty) {
    const bool added = !has_empty_value_;
    has_empty_value_ = true;
    return added;
  }
  if (size_ >= max_size_) Rebuild(2 * size_ + 1);
  std::size_t i = HashU64(hash_key_, offset) & slot_mask_;
  while (slots_[i] != kEmpty) {
    if (slots_[i] == offset) return false;
    i = (i + 1) & slot_mask_;
  }
  slots_[i] = offset;
  ++size_;
  return true;
}

void OffsetSet::Rebuild(std::size_t expected) {
  std::vector<std::uint64_t> old = std::move(slots_);
  slots_.assign(SlotsFor(expected), kEmpty);
  slot_mask_ = slots_.size() - 1;
  max_size_ = expected;
  for (const std::uint64_t v : old) {
    if (v == kEmpty) continue;
    std::size_t i = HashU64(hash_key_, v) & slot_mask_;
    while (slots_[i] != kEmpty) i = (i + 1) & slot_mask_;
    slots_[i] = v;
  }
}

}  // namespace vorl
