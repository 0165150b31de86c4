#include "core/key_index.h"

#include <algorithm>
#include <bit>
#include <new>

#include "core/format.h"

namespace vorl {
namespace {

// Table size for n keys: a power of two (the slot is hash & mask) with the
// load kept at or below 2/3, where linear probing stays short.
std::size_t SlotsFor(std::size_t n) {
  if (n == 0) return 0;
  return std::bit_ceil(n + n / 2 + 1);
}

}  // namespace

std::size_t KeyIndex::MaxEntries(std::uint32_t num_keys, std::uint64_t index_offset,
                                 std::uint64_t file_size) {
  const std::uint64_t room = index_offset < file_size ? file_size - index_offset : 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(num_keys, room / format::kEntryOverhead));
}

void KeyIndex::Reserve(std::size_t max_entries, std::size_t key_bytes) {
  entries_.reserve(max_entries);
  arena_.reserve(key_bytes);
  if (max_entries > max_entries_) RebuildTable(max_entries);
}

void KeyIndex::Add(std::string_view key, std::uint64_t offset) {
  if (entries_.size() >= max_entries_) Reserve(2 * entries_.size() + 1, 0);
  const std::uint64_t hash = HashBytes(hash_key_, key.data(), key.size());
  std::uint32_t& slot = SlotFor(key, hash);
  entries_.push_back({offset, (static_cast<std::uint64_t>(arena_.size()) << 16) | key.size()});
  arena_.append(key);
  // A repeated key takes over the slot: the last entry wins.
  slot = TagOf(hash) | static_cast<std::uint32_t>(entries_.size());
}

std::optional<std::uint64_t> KeyIndex::Find(std::string_view key) const {
  if (entries_.empty()) return std::nullopt;
  const std::uint64_t hash = HashBytes(hash_key_, key.data(), key.size());
  const std::uint32_t tag = TagOf(hash);
  for (std::size_t i = hash & slot_mask_;; i = (i + 1) & slot_mask_) {
    const std::uint32_t slot = slots_[i];
    if (slot == 0) return std::nullopt;
    if ((slot & ~entry_mask_) != tag) continue;
    const Entry& e = entries_[(slot & entry_mask_) - 1];
    if (KeyOf(e) == key) return e.offset;
  }
}

std::uint32_t& KeyIndex::SlotFor(std::string_view key, std::uint64_t hash) {
  const std::uint32_t tag = TagOf(hash);
  for (std::size_t i = hash & slot_mask_;; i = (i + 1) & slot_mask_) {
    const std::uint32_t slot = slots_[i];
    if (slot == 0) return slots_[i];
    if ((slot & ~entry_mask_) == tag && KeyOf(entries_[(slot & entry_mask_) - 1]) == key) return slots_[i];
  }
}

void KeyIndex::RebuildTable(std::size_t max_entries) {
  const std::size_t count = SlotsFor(max_entries);
  slots_.reset(static_cast<std::uint32_t*>(std::calloc(count, sizeof(std::uint32_t))));
  if (slots_ == nullptr) throw std::bad_alloc();
  slot_mask_ = count - 1;
  max_entries_ = max_entries;
  // Entry numbers + 1 run up to max_entries; the bits above are the tag's.
  const auto entry_bits = std::bit_width(max_entries);
  entry_mask_ = entry_bits >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << entry_bits) - 1;
  // Re-inserting in entry order keeps the last entry of every key.
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const std::string_view key = KeyOf(entries_[i]);
    const std::uint64_t hash = HashBytes(hash_key_, key.data(), key.size());
    SlotFor(key, hash) = TagOf(hash) | static_cast<std::uint32_t>(i + 1);
  }
}

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
