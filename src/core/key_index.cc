#include "core/key_index.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "core/format.h"

namespace vorl {
namespace {

// Table positions for n entries: the table is kept at most 80% full, where
// linear probing stays short, and never exceeds 2^32 positions so that a
// position fits the 32-bit file order (n <= 2^32 - 1 leaves one free).
std::size_t CapacityFor(std::size_t n) {
  const std::uint64_t wanted = std::uint64_t{n} + n / 4 + 1;
  return static_cast<std::size_t>(std::min<std::uint64_t>(wanted, std::uint64_t{1} << 32));
}

// Copies n <= 16 bytes with at most two fixed-size, possibly overlapping
// moves per size class: a library call per key would cost more than the
// copy when an index of millions of short keys is parsed.
void CopyShort(unsigned char* to, const char* from, std::size_t n) {
  if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<unsigned char>(from[i]);
  }
}

}  // namespace

std::size_t KeyIndex::MaxEntries(std::uint32_t num_keys, std::uint64_t index_offset,
                                 std::uint64_t file_size) {
  const std::uint64_t room = index_offset < file_size ? file_size - index_offset : 0;
  return static_cast<std::size_t>(std::min<std::uint64_t>(num_keys, room / format::kEntryOverhead));
}

void KeyIndex::Reserve(std::size_t max_entries, std::size_t key_bytes) {
  arena_.reserve(key_bytes);
  if (max_entries > max_entries_) Rebuild(max_entries);
}

void KeyIndex::ShrinkToFit() {
  // Only when it frees much: shrinking a large arena copies it.
  if (arena_.capacity() - arena_.size() > arena_.size() / 4) arena_.shrink_to_fit();
}

std::optional<std::uint64_t> KeyIndex::Find(std::string_view key, std::uint64_t hash) const {
  if (size_ == 0) return std::nullopt;
  const std::uint8_t tag = TagOf(hash);
  const Entry* table = Table();
  const std::uint8_t* tags = Tags();
  std::size_t pos = Home(hash);
  // The entry is most often at its home position: load it while the tags
  // are read, so that a hit waits for one cache miss, not two in a row.
  __builtin_prefetch(&table[pos]);
  for (;; pos = Next(pos)) {
    const std::uint8_t t = tags[pos];
    if (t == kFree) return std::nullopt;
    if (t == tag && HoldsKey(table[pos], key)) return table[pos].offset;
  }
}

void KeyIndex::Add(std::string_view key, std::uint64_t offset, std::uint64_t hash) {
  if (size_ >= max_entries_) Rebuild(2 * size_ + 1);
  const std::uint8_t tag = TagOf(hash);
  Entry* table = Table();
  std::uint8_t* tags = Tags();
  std::size_t pos = Home(hash);
  for (; tags[pos] != kFree; pos = Next(pos)) {
    if (tags[pos] == tag && HoldsKey(table[pos], key)) {
      // The last entry of a key wins, in place: the table keeps one entry
      // per distinct key, whatever a file repeats.
      if (file_offsets_.data() == nullptr) KeepFileOffsets();
      table[pos].offset = offset;
      AppendInOrder(pos, offset);
      return;
    }
  }
  Entry& e = table[pos];
  e.offset = offset;
  if (key.size() <= kInlineKey) {
    CopyShort(e.key, key.data(), key.size());
    e.key[kInlineKey] = static_cast<unsigned char>(key.size());
  } else {
    const std::uint64_t ref = (static_cast<std::uint64_t>(arena_.size()) << 16) | key.size();
    std::memcpy(e.key, &ref, sizeof ref);
    e.key[kInlineKey] = kArenaKey;
    arena_.append(key);
  }
  tags[pos] = tag;
  AppendInOrder(pos, offset);
}

void KeyIndex::AppendInOrder(std::size_t pos, std::uint64_t offset) {
  if (auto* file_offsets = static_cast<std::uint64_t*>(file_offsets_.data())) file_offsets[size_] = offset;
  Order()[size_++] = static_cast<std::uint32_t>(pos);
}

void KeyIndex::KeepFileOffsets() {
  LargeBuffer file_offsets(max_entries_ * sizeof(std::uint64_t));
  auto* out = static_cast<std::uint64_t*>(file_offsets.data());
  // Until the first repeat every entry has a table position of its own,
  // which still holds its offset.
  for (std::size_t i = 0; i < size_; ++i) out[i] = EntryAt(i).offset;
  file_offsets_ = std::move(file_offsets);
}

void KeyIndex::Rebuild(std::size_t max_entries) {
  const std::size_t old_capacity = capacity_;
  const std::size_t capacity = CapacityFor(max_entries);
  LargeBuffer table(capacity * (sizeof(Entry) + 1));
  LargeBuffer order(max_entries * sizeof(std::uint32_t));
  auto* new_table = static_cast<Entry*>(table.data());
  auto* new_tags = reinterpret_cast<std::uint8_t*>(new_table + capacity);
  auto* new_order = static_cast<std::uint32_t*>(order.data());
  const Entry* old_table = Table();
  const std::uint8_t* old_tags = Tags();
  // Where each occupied old position went; entries of one key share one.
  std::vector<std::uint32_t> moved_to(old_capacity);
  capacity_ = capacity;  // Home() and Next() below work on the new table
  for (std::size_t old_pos = 0; old_pos < old_capacity; ++old_pos) {
    if (old_tags[old_pos] == kFree) continue;
    const Entry& e = old_table[old_pos];
    std::size_t pos = Home(Hash(KeyOf(e)));
    while (new_tags[pos] != kFree) pos = Next(pos);
    new_table[pos] = e;
    new_tags[pos] = old_tags[old_pos];
    moved_to[old_pos] = static_cast<std::uint32_t>(pos);
  }
  for (std::size_t i = 0; i < size_; ++i) new_order[i] = moved_to[Order()[i]];
  if (file_offsets_.data() != nullptr) {
    LargeBuffer file_offsets(max_entries * sizeof(std::uint64_t));
    std::memcpy(file_offsets.data(), file_offsets_.data(), size_ * sizeof(std::uint64_t));
    file_offsets_ = std::move(file_offsets);
  }
  table_ = std::move(table);
  order_ = std::move(order);
  max_entries_ = max_entries;
}

}  // namespace vorl
