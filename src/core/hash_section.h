// The on-disk hash index: an optional section after the last index entry
// that lets a reader find a key, or entry i in index order, without building
// anything in memory.
//
// The store format lets bytes follow the last index entry (readers ignore
// them; the whole-file CRC covers them), so a file with this section opens
// unchanged in a reader that does not know it.  Layout, all integers
// big-endian, positions relative to index_offset:
//
//   section_offset (= index_offset + index_length, the end of the entries)
//   padding     0..63 zero bytes, so that the slots start on a multiple of 64
//   slots       capacity x (fingerprint u16, position + 1 as a w-byte integer,
//               record hint u32); position field 0 marks a free slot
//   order       num_keys x (position as a w-byte integer), entry i's position
//   trailer     kTrailerSize bytes, the last bytes of the file:
//      0  4  magic "VRLX"
//      4  1  version (1)
//      5  1  w, the position width in bytes (4 to 8)
//      6  2  reserved, zero
//      8  8  section_offset
//     16  8  section_length, from section_offset to the end of the file
//     24  8  index_offset the section was built for
//     32  8  index_length: the bytes of the num_keys entries
//     40  8  seed of the StableHasher (random per file)
//     48  8  capacity, the number of slots
//     56  4  num_keys the section was built for
//     60  4  max_probe: the longest run of slots a lookup of a present key reads
//     64  4  reserved, zero
//     68  4  CRC-32 of trailer bytes 0..67
//
// The hash is StableHasher(seed) of the key.  A key's slot run starts at
// slot (hash x capacity) >> 64 and continues linearly, wrapping at the end;
// the fingerprint is the hash's low 16 bits.  There is one slot per distinct
// key, holding its last entry, so duplicate keys resolve as in the in-memory
// index.  The record hint is the entry's object offset / 64 (0 when that
// does not fit): a lookup starts loading the record while it reads the
// entry and compares the key, so a hit waits for two memory accesses in a
// row (slot, then entry and record together) rather than three.  The hint
// is only ever prefetched, never trusted.  w is at least the smallest width
// with index_length < 2^(8w), and normally that width: 4 for an index under
// 4 GiB, giving 4/3 x 10 + 4 = 17.3 bytes per key (19.7 up to 1 TiB).
//
// HashSection is a view of a validated section inside a mapped file.  Its
// constructor-like Locate() checks only the trailer against the header, in
// O(1); the slots and positions are trusted only as far as each access
// checks them: every position is bounds-checked before an entry is read and
// every probe stops after max_probe slots.  Damaged bytes give not-found or
// a corrupt error (the fingerprint and the key comparison keep a damaged
// slot from answering for another key); a section crafted to point into the
// middle of an entry whose bytes spell the key can yield a wrong offset,
// as a crafted index can, and that offset is then read with the usual
// record bounds checks.  Never a read outside the file or an endless probe.
// Views are immutable; any number of threads may use one at once.
#ifndef VORLSTORE_CORE_HASH_SECTION_H_
#define VORLSTORE_CORE_HASH_SECTION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/coding.h"
#include "core/stable_hash.h"
#include "core/status.h"

namespace vorl {

namespace hash_section {

inline constexpr unsigned char kMagic[4] = {'V', 'R', 'L', 'X'};
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::uint64_t kTrailerSize = 72;
inline constexpr std::uint64_t kSlotAlignment = 64;
inline constexpr unsigned kFingerprintSize = 2;
inline constexpr unsigned kHintSize = 4;
inline constexpr unsigned kHintShift = 6;  // hints count 64-byte lines
inline constexpr unsigned kMinWidth = 4;
inline constexpr unsigned kMaxWidth = 8;

// Trailer field positions.
inline constexpr std::size_t kVersionPos = 4;
inline constexpr std::size_t kWidthPos = 5;
inline constexpr std::size_t kReservedPos = 6;
inline constexpr std::size_t kSectionOffsetPos = 8;
inline constexpr std::size_t kSectionLengthPos = 16;
inline constexpr std::size_t kIndexOffsetPos = 24;
inline constexpr std::size_t kIndexLengthPos = 32;
inline constexpr std::size_t kSeedPos = 40;
inline constexpr std::size_t kCapacityPos = 48;
inline constexpr std::size_t kNumKeysPos = 56;
inline constexpr std::size_t kMaxProbePos = 60;
inline constexpr std::size_t kReserved2Pos = 64;
inline constexpr std::size_t kTrailerCrcPos = 68;

// The smallest position width for an index of `index_length` bytes.
unsigned WidthFor(std::uint64_t index_length);
// Slots for n keys: at most 75% full, where linear probing stays short (a
// miss reads about 8.5 slots on average), and always one free slot.
std::uint64_t CapacityFor(std::uint64_t n);
// Padding before the slots of a section starting at `section_offset`.
inline std::uint64_t PaddingFor(std::uint64_t section_offset) {
  return (kSlotAlignment - section_offset % kSlotAlignment) % kSlotAlignment;
}
// The slot a run starts at: hash scaled to the table size.
inline std::uint64_t HomeSlot(std::uint64_t hash, std::uint64_t capacity) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(hash) * capacity) >> 64);
}
inline std::uint16_t FingerprintOf(std::uint64_t hash) { return static_cast<std::uint16_t>(hash); }
inline unsigned SlotSize(unsigned width) { return kFingerprintSize + width + kHintSize; }
inline std::uint32_t HintFor(std::uint64_t object_offset) {
  const std::uint64_t line = object_offset >> kHintShift;
  return line > 0xFFFFFFFFu ? 0 : static_cast<std::uint32_t>(line);
}

// A w-byte big-endian integer.  REQUIRES: 4 <= w <= 8, p + w readable.
inline std::uint64_t LoadWidth(const unsigned char* p, unsigned w) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < w; ++i) v = v << 8 | p[i];
  return v;
}
inline void StoreWidth(unsigned char* p, unsigned w, std::uint64_t v) {
  for (unsigned i = w; i-- > 0; v >>= 8) p[i] = static_cast<unsigned char>(v);
}

}  // namespace hash_section

// One index entry: its key as a view into the mapping, and the offset of
// the object record it refers to.
struct EntryView {
  std::string_view key;
  std::uint64_t object_offset = 0;
  bool operator==(const EntryView&) const = default;
};

// The header fields a section must match.
struct StoreHeaderFields {
  std::uint32_t num_keys = 0;
  std::uint64_t index_offset = 0;
};

// Where a section's parts lie, as its trailer states them once checked
// against the header and the file's size.  Offsets count from the start of
// the file.
struct SectionLayout {
  std::uint64_t index_offset = 0;
  std::uint64_t index_length = 0;
  std::uint64_t slots_offset = 0;
  std::uint64_t order_offset = 0;
  std::uint64_t capacity = 0;
  std::uint64_t seed = 0;
  std::uint32_t num_keys = 0;
  std::uint32_t max_probe = 0;
  unsigned width = 0;
};

// The layout the trailer at `trailer` (the last kTrailerSize bytes of a file
// of `file_size` bytes) describes, if it is intact and was built for exactly
// this header and this size; no value otherwise.  O(1).  Readers that hold
// only the ends of a file (a store read by ranges) use it without a mapping.
std::optional<SectionLayout> ReadTrailer(const unsigned char* trailer, std::uint64_t file_size,
                                         const StoreHeaderFields& header);

class HashSection {
 public:
  // The section at the end of [file, file + file_size), if its trailer is
  // intact and was built for exactly this header and this file; no value
  // otherwise (the caller then reads the index without it).  O(1).
  static std::optional<HashSection> Locate(const unsigned char* file, std::uint64_t file_size,
                                           const StoreHeaderFields& header);

  std::uint32_t num_keys() const { return num_keys_; }
  std::uint64_t section_offset() const { return index_offset_ + index_length_; }
  std::uint64_t section_length() const { return file_size_ - section_offset(); }

  // The last entry whose key is `key`, no value when the key is absent, or a
  // corrupt error when the lookup meets a position outside the index.
  Result<std::optional<EntryView>> Find(std::string_view key) const { return Find(key, Hash(key)); }

  // A lookup in steps, for callers that overlap the cache misses of many
  // keys (batch_lookup.h): Hash, then PrefetchSlots, then, once the slots
  // have arrived, PrefetchCandidate, and Find with the same hash, which
  // answers exactly as Find(key).  The prefetches read only bytes inside the
  // section and trust nothing they read.
  std::uint64_t Hash(std::string_view key) const { return hasher_(key); }
  [[gnu::always_inline]] void PrefetchSlots(std::uint64_t hash) const {
    if (num_keys_ == 0) return;
    const std::uint64_t slot = hash_section::HomeSlot(hash, capacity_);
    __builtin_prefetch(slots_ + slot * slot_size_);
    // A run of a few slots often crosses into the next line: load both at once.
    if ((capacity_ - slot) * slot_size_ > 64) __builtin_prefetch(slots_ + slot * slot_size_ + 64);
  }
  // Starts loading the entry and record of the first slot near the key's
  // home whose fingerprint matches: most often the one Find will read.
  [[gnu::always_inline]] void PrefetchCandidate(std::uint64_t hash) const {
    if (num_keys_ == 0) return;
    const std::uint16_t fingerprint = hash_section::FingerprintOf(hash);
    std::uint64_t slot = hash_section::HomeSlot(hash, capacity_);
    // Only the first few slots, which PrefetchSlots loaded: a longer run is
    // rare, and Find reads it anyway.
    constexpr std::uint32_t kLookAhead = 4;
    for (std::uint32_t probe = 0; probe < max_probe_ && probe < kLookAhead; ++probe) {
      const unsigned char* s = slots_ + slot * slot_size_;
      const std::uint64_t position_plus_one = PositionPlusOne(s);
      if (position_plus_one == 0) return;
      if (LoadBE16(s) == fingerprint) {
        PrefetchTarget(s, position_plus_one);
        return;
      }
      if (++slot == capacity_) slot = 0;
    }
  }
  // REQUIRES: hash == Hash(key).
  Result<std::optional<EntryView>> Find(std::string_view key, std::uint64_t hash) const;

  // Entry i in index order.  REQUIRES: i < num_keys().  A corrupt error when
  // its recorded position leads outside the index.
  Result<EntryView> Entry(std::size_t i) const;

  // The deep check of the section against the sorted index it was built
  // for, in O(num_keys): entry i of the order table is the index's entry i,
  // a lookup of each key answers with the last entry of that key, and no
  // other slot is in use.  OK or a corrupt error naming the first entry
  // that disagrees.
  Status CheckAgainstIndex() const;

 private:
  HashSection(const unsigned char* file, std::uint64_t file_size, std::uint64_t index_offset,
              std::uint64_t index_length, std::uint64_t capacity, std::uint64_t seed, std::uint32_t num_keys,
              std::uint32_t max_probe, unsigned width, const unsigned char* slots,
              const unsigned char* order);

  // The entry at `position` (relative to index_offset), bounds-checked.
  Result<EntryView> EntryAt(std::uint64_t position) const;
  // A slot's entry position + 1 (0 for a free slot).  REQUIRES: `slot` is
  // one of the table's.
  std::uint64_t PositionPlusOne(const unsigned char* slot) const {
    return width_ == 4 ? LoadBE32(slot + hash_section::kFingerprintSize)
                       : hash_section::LoadWidth(slot + hash_section::kFingerprintSize, width_);
  }
  // Starts loading the entry at `position_plus_one` - 1 and the record its
  // slot hints at, when they lie inside the index and the file.  Always
  // inlined: GCC deems a function whose only effect is a prefetch free of
  // side effects and drops calls to it.
  [[gnu::always_inline]] void PrefetchTarget(const unsigned char* slot,
                                             std::uint64_t position_plus_one) const {
    const std::uint64_t record = std::uint64_t{LoadBE32(slot + hash_section::kFingerprintSize + width_)}
                                 << hash_section::kHintShift;
    // A small object with its header spans up to three lines.
    if (record < file_size_) {
      const std::uint64_t record_room = file_size_ - record;
      __builtin_prefetch(file_ + record);
      if (record_room > 64) __builtin_prefetch(file_ + record + 64);
      if (record_room > 128) __builtin_prefetch(file_ + record + 128);
    }
    // An entry may span two lines; ask for both at once.
    const std::uint64_t position = position_plus_one - 1;
    if (position < index_length_) {
      __builtin_prefetch(index_ + position);
      if (index_length_ - position > 64) __builtin_prefetch(index_ + position + 64);
    }
  }

  const unsigned char* file_;
  std::uint64_t file_size_;
  const unsigned char* index_;  // the first index entry
  const unsigned char* slots_;
  const unsigned char* order_;
  std::uint64_t index_offset_;
  std::uint64_t index_length_;
  std::uint64_t capacity_;
  StableHasher hasher_;
  std::uint32_t num_keys_;
  std::uint32_t max_probe_;
  unsigned width_;
  unsigned slot_size_;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_HASH_SECTION_H_
