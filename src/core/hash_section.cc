#include "core/hash_section.h"

#include <cstring>
#include <string>
#include <unordered_set>

#include "core/coding.h"
#include "core/crc32.h"
#include "core/format.h"

namespace vorl {
namespace hash_section {

unsigned WidthFor(std::uint64_t index_length) {
  unsigned w = kMinWidth;
  while (w < kMaxWidth && index_length >> (8 * w) != 0) ++w;
  return w;
}

std::uint64_t CapacityFor(std::uint64_t n) { return n + n / 3 + 1; }

}  // namespace hash_section

namespace hs = hash_section;

std::optional<SectionLayout> ReadTrailer(const unsigned char* trailer, std::uint64_t file_size,
                                         const StoreHeaderFields& header) {
  if (file_size < format::kHeaderSize + hs::kTrailerSize) return std::nullopt;
  const unsigned char* t = trailer;
  if (std::memcmp(t, hs::kMagic, sizeof hs::kMagic) != 0 || t[hs::kVersionPos] != hs::kVersion) {
    return std::nullopt;
  }
  if (LoadBE16(t + hs::kReservedPos) != 0 || LoadBE32(t + hs::kReserved2Pos) != 0) return std::nullopt;
  if (crc32::Value(t, hs::kTrailerCrcPos) != LoadBE32(t + hs::kTrailerCrcPos)) return std::nullopt;

  const unsigned width = t[hs::kWidthPos];
  const std::uint64_t section_offset = LoadBE64(t + hs::kSectionOffsetPos);
  const std::uint64_t section_length = LoadBE64(t + hs::kSectionLengthPos);
  const std::uint64_t index_offset = LoadBE64(t + hs::kIndexOffsetPos);
  const std::uint64_t index_length = LoadBE64(t + hs::kIndexLengthPos);
  const std::uint64_t capacity = LoadBE64(t + hs::kCapacityPos);
  const std::uint32_t num_keys = LoadBE32(t + hs::kNumKeysPos);
  const std::uint32_t max_probe = LoadBE32(t + hs::kMaxProbePos);

  // Built for this header, and the entries end where the section starts.
  if (num_keys != header.num_keys || index_offset != header.index_offset) return std::nullopt;
  if (index_offset < format::kHeaderSize || index_offset > file_size) return std::nullopt;
  if (index_length > file_size - index_offset || index_offset + index_length != section_offset) {
    return std::nullopt;
  }
  if (section_length != file_size - section_offset) return std::nullopt;
  // Every entry takes at least its 10 fixed bytes, and every position fits
  // the recorded width with room for the +1 of the slots.
  if (index_length < format::kEntryOverhead * num_keys) return std::nullopt;
  if (width < hs::WidthFor(index_length) || width > hs::kMaxWidth) return std::nullopt;

  // The section's parts fill it exactly.  Each product is checked by
  // division first, so no size can wrap.
  const std::uint64_t padding = hs::PaddingFor(section_offset);
  if (section_length < hs::kTrailerSize + padding) return std::nullopt;
  const std::uint64_t body = section_length - hs::kTrailerSize - padding;
  const std::uint64_t slot_size = hs::SlotSize(width);
  const std::uint64_t order_size = std::uint64_t{num_keys} * width;
  if (order_size > body || capacity > (body - order_size) / slot_size) return std::nullopt;
  if (capacity * slot_size != body - order_size) return std::nullopt;
  if (capacity <= num_keys || max_probe > capacity) return std::nullopt;

  SectionLayout layout;
  layout.index_offset = index_offset;
  layout.index_length = index_length;
  layout.slots_offset = section_offset + padding;
  layout.order_offset = layout.slots_offset + capacity * slot_size;
  layout.capacity = capacity;
  layout.seed = LoadBE64(t + hs::kSeedPos);
  layout.num_keys = num_keys;
  layout.max_probe = max_probe;
  layout.width = width;
  return layout;
}

std::optional<HashSection> HashSection::Locate(const unsigned char* file, std::uint64_t file_size,
                                               const StoreHeaderFields& header) {
  if (file_size < format::kHeaderSize + hs::kTrailerSize) return std::nullopt;
  const std::optional<SectionLayout> l = ReadTrailer(file + file_size - hs::kTrailerSize, file_size, header);
  if (!l) return std::nullopt;
  return HashSection(file, file_size, l->index_offset, l->index_length, l->capacity, l->seed, l->num_keys,
                     l->max_probe, l->width, file + l->slots_offset, file + l->order_offset);
}

HashSection::HashSection(const unsigned char* file, std::uint64_t file_size, std::uint64_t index_offset,
                         std::uint64_t index_length, std::uint64_t capacity, std::uint64_t seed,
                         std::uint32_t num_keys, std::uint32_t max_probe, unsigned width,
                         const unsigned char* slots, const unsigned char* order)
    : file_(file),
      file_size_(file_size),
      index_(file + index_offset),
      slots_(slots),
      order_(order),
      index_offset_(index_offset),
      index_length_(index_length),
      capacity_(capacity),
      hasher_(seed),
      num_keys_(num_keys),
      max_probe_(max_probe),
      width_(width),
      slot_size_(hs::SlotSize(width)) {}

Result<EntryView> HashSection::EntryAt(std::uint64_t position) const {
  if (position > index_length_ || index_length_ - position < format::kEntryOverhead) {
    return Status::Corrupt("hash index position " + std::to_string(position) + " outside the index of " +
                           std::to_string(index_length_) + " bytes");
  }
  const unsigned char* p = index_ + position;
  const std::uint16_t key_len = LoadBE16(p);
  if (key_len > index_length_ - position - format::kEntryOverhead) {
    return Status::Corrupt("index entry at " + std::to_string(index_offset_ + position) +
                           " runs past the index");
  }
  return EntryView{std::string_view(reinterpret_cast<const char*>(p + 2), key_len),
                   LoadBE64(p + 2 + key_len)};
}

Result<std::optional<EntryView>> HashSection::Find(std::string_view key, std::uint64_t hash) const {
  if (num_keys_ == 0) return std::optional<EntryView>();
  const std::uint16_t fingerprint = hs::FingerprintOf(hash);
  std::uint64_t slot = hs::HomeSlot(hash, capacity_);
  // A run of a few slots often crosses into the next line: load both at once.
  if ((capacity_ - slot) * slot_size_ > 64) __builtin_prefetch(slots_ + slot * slot_size_ + 64);
  // Every present key lies within max_probe slots of its home, so a longer
  // run proves absence; the bound also ends any run on a hostile table.
  for (std::uint32_t probe = 0; probe < max_probe_; ++probe) {
    const unsigned char* s = slots_ + slot * slot_size_;
    const std::uint64_t position_plus_one = PositionPlusOne(s);
    if (position_plus_one == 0) break;
    if (LoadBE16(s) == fingerprint) {
      PrefetchTarget(s, position_plus_one);
      Result<EntryView> entry = EntryAt(position_plus_one - 1);
      if (!entry.ok()) return std::move(entry).status();
      if (entry.value().key == key) return std::optional<EntryView>(entry.value());
    }
    if (++slot == capacity_) slot = 0;
  }
  return std::optional<EntryView>();
}

Result<EntryView> HashSection::Entry(std::size_t i) const {
  if (i >= num_keys_) {
    return Status::Other("entry " + std::to_string(i) + " out of range (" + std::to_string(num_keys_) +
                         " entries)");
  }
  const unsigned char* p = order_ + i * width_;
  return EntryAt(width_ == 4 ? LoadBE32(p) : hs::LoadWidth(p, width_));
}

Status HashSection::CheckAgainstIndex() const {
  // The order table first: entry i is the index's entry i.
  const std::uint64_t index_end = index_offset_ + index_length_;  // Locate checked it lies in the file
  format::Entry entry;
  entry.next = index_offset_;
  bool sorted = true;
  std::string_view previous;
  for (std::uint32_t i = 0; i < num_keys_; ++i) {
    if (Status s = format::DecodeEntry(file_, index_end, entry.next, &entry); !s.ok()) return s;
    Result<EntryView> listed = Entry(i);
    if (!listed.ok()) return std::move(listed).status();
    if (listed.value() != EntryView{entry.key, entry.offset}) {
      return Status::Corrupt("hash index entry " + std::to_string(i) + " is not index entry " +
                             std::to_string(i));
    }
    if (i > 0 && entry.key < previous) sorted = false;
    previous = entry.key;
  }
  if (num_keys_ > 0 && entry.next != index_end) {
    return Status::Corrupt("index entries end at " + std::to_string(entry.next) + ", the hash index says " +
                           std::to_string(index_end));
  }
  // Then the slots: each distinct key is answered with its last entry.  The
  // last entry of a key is the first met walking backwards; in a sorted
  // index, where equal keys sit side by side, that needs no memory.
  std::unordered_set<std::string_view> seen;
  std::uint64_t distinct = 0;
  for (std::uint32_t i = num_keys_; i-- > 0;) {
    const EntryView last = Entry(i).value();  // every entry was read above
    const bool is_last =
        sorted ? i + 1 == num_keys_ || Entry(i + 1).value().key != last.key : seen.insert(last.key).second;
    if (!is_last) continue;
    ++distinct;
    Result<std::optional<EntryView>> found = Find(last.key);
    if (!found.ok()) return std::move(found).status();
    if (found.value() != last) {
      return Status::Corrupt("hash index does not answer the key of index entry " + std::to_string(i) +
                             " with that entry");
    }
  }
  // No slot answers for anything else.
  std::uint64_t used = 0;
  for (std::uint64_t slot = 0; slot < capacity_; ++slot)
    used += PositionPlusOne(slots_ + slot * slot_size_) != 0;
  if (used != distinct) {
    return Status::Corrupt("hash index has " + std::to_string(used) + " slots in use for " +
                           std::to_string(distinct) + " distinct keys");
  }
  return {};
}

}  // namespace vorl
