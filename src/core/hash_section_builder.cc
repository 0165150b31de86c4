#include "core/hash_section_builder.h"

#include <algorithm>
#include <cstring>

#include "core/coding.h"
#include "core/crc32.h"
#include "core/format.h"
#include "core/hash.h"
#include "core/hash_section.h"
#include "core/stable_hash.h"

namespace vorl {

namespace hs = hash_section;

Result<HashSectionPlan> PlanHashSection(const IndexEntries& entries, std::uint64_t index_offset,
                                        unsigned min_width) {
  if (min_width < hs::kMinWidth || min_width > hs::kMaxWidth) {
    return Status::Other("position width " + std::to_string(min_width) + " not between 4 and 8");
  }
  if (entries.size() > format::kMaxCount) {
    return Status::Other("too many keys for one index: " + std::to_string(entries.size()));
  }
  if (index_offset < format::kHeaderSize) {
    return Status::Other("index offset " + std::to_string(index_offset) + " inside the header");
  }
  HashSectionPlan plan;
  plan.index_offset = index_offset;
  plan.num_keys = static_cast<std::uint32_t>(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t n = entries.key(i).size();
    if (n > format::kMaxKeyLength) return Status::Other("key of " + std::to_string(n) + " bytes is too long");
    plan.index_length += format::kEntryOverhead + n;
  }
  // At most 2^32 entries of at most 65545 bytes each: no sum below wraps.
  plan.width = std::max(min_width, hs::WidthFor(plan.index_length));
  plan.capacity = hs::CapacityFor(plan.num_keys);
  plan.padding = hs::PaddingFor(index_offset + plan.index_length);
  plan.section_length = plan.padding + plan.capacity * hs::SlotSize(plan.width) +
                        std::uint64_t{plan.num_keys} * plan.width + hs::kTrailerSize;
  return plan;
}

void WriteHashSection(const IndexEntries& entries, const HashSectionPlan& plan, std::uint64_t seed,
                      std::span<unsigned char> out) {
  const unsigned w = plan.width;
  const std::uint64_t slot_size = hs::SlotSize(w);
  const std::uint64_t slots_size = plan.capacity * slot_size;
  const std::uint64_t order_size = static_cast<std::uint64_t>(plan.num_keys) * w;
  unsigned char* slots = out.data() + plan.padding;
  unsigned char* order = slots + slots_size;
  unsigned char* trailer = order + order_size;
  std::memset(out.data(), 0, static_cast<std::size_t>(plan.padding + slots_size));

  // Positions in index order, from the key lengths.
  std::uint64_t position = 0;
  for (std::uint32_t i = 0; i < plan.num_keys; ++i) {
    hs::StoreWidth(order + std::uint64_t{i} * w, w, position);
    position += format::kEntryOverhead + entries.key(i).size();
  }

  // Slots first hold entry number + 1 and the entry's record hint; a later
  // entry of the same key takes over its slot.  The table always has a free
  // slot, so every run ends.  Each key is hashed kLead keys before it is
  // placed and its home slot fetched then: the table is written at random,
  // and the cache misses of several keys overlap.
  const StableHasher hasher(seed);
  std::uint32_t max_probe = 0;
  constexpr std::uint32_t kLead = 16;
  std::uint64_t ahead[kLead];
  for (std::uint64_t j = 0; j < std::uint64_t{plan.num_keys} + kLead; ++j) {
    // Key j - kLead is placed before key j takes over its place in `ahead`.
    if (j >= kLead) {
      const auto i = static_cast<std::uint32_t>(j - kLead);
      const std::uint64_t hash = ahead[i % kLead];
      const std::uint16_t fingerprint = hs::FingerprintOf(hash);
      std::uint64_t slot = hs::HomeSlot(hash, plan.capacity);
      for (std::uint32_t probe = 1;; ++probe) {
        unsigned char* s = slots + slot * slot_size;
        const std::uint64_t held = hs::LoadWidth(s + hs::kFingerprintSize, w);
        // Keys are read again only when fingerprints match: each read is a
        // cache miss of its own.
        if (held == 0 || (LoadBE16(s) == fingerprint && entries.key(held - 1) == entries.key(i))) {
          StoreBE16(s, fingerprint);
          hs::StoreWidth(s + hs::kFingerprintSize, w, std::uint64_t{i} + 1);
          StoreBE32(s + hs::kFingerprintSize + w, hs::HintFor(entries.object_offset(i)));
          max_probe = std::max(max_probe, probe);
          break;
        }
        if (++slot == plan.capacity) slot = 0;
      }
    }
    if (j < plan.num_keys) {
      const std::uint64_t hash = hasher(entries.key(j));
      ahead[j % kLead] = hash;
      __builtin_prefetch(slots + hs::HomeSlot(hash, plan.capacity) * slot_size, 1);
    }
  }
  // Entry numbers become positions; the positions are read at random, so
  // the one for a slot kLead slots ahead is fetched first.
  for (std::uint64_t slot = 0; slot < plan.capacity; ++slot) {
    if (slot + kLead < plan.capacity) {
      const std::uint64_t next = hs::LoadWidth(slots + (slot + kLead) * slot_size + hs::kFingerprintSize, w);
      if (next != 0) __builtin_prefetch(order + (next - 1) * w);
    }
    unsigned char* field = slots + slot * slot_size + hs::kFingerprintSize;
    const std::uint64_t held = hs::LoadWidth(field, w);
    if (held == 0) continue;
    hs::StoreWidth(field, w, hs::LoadWidth(order + (held - 1) * w, w) + 1);
  }

  std::memset(trailer, 0, hs::kTrailerSize);
  std::memcpy(trailer, hs::kMagic, sizeof hs::kMagic);
  trailer[hs::kVersionPos] = hs::kVersion;
  trailer[hs::kWidthPos] = static_cast<unsigned char>(w);
  StoreBE64(trailer + hs::kSectionOffsetPos, plan.index_offset + plan.index_length);
  StoreBE64(trailer + hs::kSectionLengthPos, plan.section_length);
  StoreBE64(trailer + hs::kIndexOffsetPos, plan.index_offset);
  StoreBE64(trailer + hs::kIndexLengthPos, plan.index_length);
  StoreBE64(trailer + hs::kSeedPos, seed);
  StoreBE64(trailer + hs::kCapacityPos, plan.capacity);
  StoreBE32(trailer + hs::kNumKeysPos, plan.num_keys);
  StoreBE32(trailer + hs::kMaxProbePos, max_probe);
  StoreBE32(trailer + hs::kTrailerCrcPos, crc32::Value(trailer, hs::kTrailerCrcPos));
}

Status AppendHashSection(const IndexEntries& entries, std::uint64_t index_offset, std::uint64_t seed,
                         std::string& out) {
  Result<HashSectionPlan> plan = PlanHashSection(entries, index_offset);
  if (!plan.ok()) return std::move(plan).status();
  const HashSectionPlan& p = plan.value();
  if (out.size() != p.index_offset + p.index_length) {
    return Status::Other("buffer of " + std::to_string(out.size()) + " bytes does not end at the index end " +
                         std::to_string(p.index_offset + p.index_length));
  }
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(p.section_length));
  WriteHashSection(entries, p, seed,
                   std::span(reinterpret_cast<unsigned char*>(out.data()) + start, p.section_length));
  return {};
}

std::uint64_t NewSectionSeed() { return NewHashKey().k[0]; }

std::uint64_t ContentSeed(std::uint32_t crc, std::uint64_t index_end) {
  unsigned char content[12];
  StoreBE32(content, crc);
  StoreBE64(content + 4, index_end);
  return StableHash64(std::string_view(reinterpret_cast<const char*>(content), sizeof content));
}

Result<ScannedIndex> ScannedIndex::Scan(const unsigned char* file, std::uint64_t file_size,
                                        std::uint64_t index_offset, std::uint32_t num_keys) {
  std::vector<std::uint64_t> positions;
  // Never reserve more entries than the bytes left could hold.
  const std::uint64_t room = index_offset < file_size ? file_size - index_offset : 0;
  positions.reserve(
      static_cast<std::size_t>(std::min<std::uint64_t>(num_keys, room / format::kEntryOverhead)));
  std::uint64_t p = index_offset;
  for (std::uint32_t n = 0; n < num_keys; ++n) {
    if (p > file_size || file_size - p < 2) return Status::Corrupt("index section truncated (key_len)");
    const std::uint64_t key_len = LoadBE16(file + p);
    if (file_size - p - 2 < key_len + 8) return Status::Corrupt("index section truncated (key + offset)");
    positions.push_back(p - index_offset);
    p += format::kEntryOverhead + key_len;
  }
  // With no entries index_offset may lie anywhere; no pointer is formed from it.
  return ScannedIndex(num_keys == 0 ? file : file + index_offset, std::move(positions), p - index_offset);
}

std::uint64_t ScannedIndex::object_offset(std::size_t i) const {
  const unsigned char* entry = index_ + positions_[i];
  return LoadBE64(entry + 2 + LoadBE16(entry));
}

std::string_view ScannedIndex::key(std::size_t i) const {
  const unsigned char* entry = index_ + positions_[i];
  return {reinterpret_cast<const char*>(entry + 2), LoadBE16(entry)};
}

}  // namespace vorl
