// KeyIndex: the reader's index of an open store.
//
// It holds the index section of an open store: every entry (key and
// object offset, duplicates included) and, for exact lookups, a hash table
// that answers with the last entry of a key.  The entries live in the hash
// table itself, so that a lookup reads one entry and no separate table slot
// (on a large index every place read is a cache miss); a list of table
// positions in file order serves the ordered walks.  Keys are copied once
// into memory the index owns, so nothing points into the file mapping: a key
// of up to 15 bytes is stored inside its 24-byte entry, a longer one in a
// single arena.  With the table at most 80% full, a key costs 24 + 1 bytes
// per table position (about 31 bytes), 4 bytes of file order and, if it is
// long, its bytes.
//
// A key added again replaces its table entry's offset in place, so that a
// probe never walks past stale entries and adding stays O(1) however often a
// key repeats.  The earlier entries then differ from the table only in their
// offsets, which an index with duplicates keeps in a file-order array (8
// bytes per entry, only in that case).
//
// Sized up front and keyed by NewHashKey() (see hash.h for the other
// tables).  Filling it is not thread-safe; once filled, any number of
// threads may read it.
#ifndef VORLSTORE_CORE_KEY_INDEX_H_
#define VORLSTORE_CORE_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/coding.h"
#include "core/hash.h"
#include "core/large_buffer.h"

namespace vorl {

class KeyIndex {
 public:
  KeyIndex() : hash_key_(NewHashKey()) {}
  KeyIndex(KeyIndex&&) = default;
  KeyIndex& operator=(KeyIndex&&) = default;
  KeyIndex(const KeyIndex&) = delete;
  KeyIndex& operator=(const KeyIndex&) = delete;

  // How many entries an index section can hold at most: what the header
  // claims, but no more than fit in the bytes from index_offset to the end
  // of the file at 10 bytes per entry.  A damaged num_keys can therefore not
  // make the reader reserve more memory than the file justifies.
  static std::size_t MaxEntries(std::uint32_t num_keys, std::uint64_t index_offset, std::uint64_t file_size);

  // Sizes the table and the file order for `max_entries` entries and the
  // arena for `key_bytes`, so that adding that many needs no rebuild.
  void Reserve(std::size_t max_entries, std::size_t key_bytes);
  // Gives back the part of the arena reservation that the entries added so
  // far do not use (it is reserved for the worst case, where no key is short
  // enough to be stored inline).
  void ShrinkToFit();

  // Appends an entry; it becomes the one that Find answers with for `key`.
  // REQUIRES: key.size() <= 65535, and fewer than 2^32 - 1 entries so far.
  void Add(std::string_view key, std::uint64_t offset) { Add(key, offset, Hash(key)); }
  // The same with the key's Hash() computed already.
  void Add(std::string_view key, std::uint64_t offset, std::uint64_t hash);

  std::uint64_t Hash(std::string_view key) const { return HashBytes(hash_key_, key.data(), key.size()); }
  // Starts loading the table position where a key of this hash goes, for a
  // caller that will Add it soon: a large table is written at random, and
  // the cache misses of several coming additions then overlap.
  [[gnu::always_inline]] void PrefetchHome(std::uint64_t hash) const {
    if (capacity_ == 0) return;
    const std::size_t pos = Home(hash);
    __builtin_prefetch(&Tags()[pos], 1);
    __builtin_prefetch(&Table()[pos], 1);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Entry i in file order.  REQUIRES: i < size().
  std::string_view key(std::size_t i) const { return KeyOf(EntryAt(i)); }
  std::uint64_t offset(std::size_t i) const {
    const auto* file_offsets = static_cast<const std::uint64_t*>(file_offsets_.data());
    return file_offsets != nullptr ? file_offsets[i] : EntryAt(i).offset;
  }
  // Starts loading entry i into the cache, for walks that will soon read it.
  // REQUIRES: i < size().
  [[gnu::always_inline]] void Prefetch(std::size_t i) const { __builtin_prefetch(&EntryAt(i)); }

  // The offset of the last entry whose key is `key`.  An empty index answers
  // without hashing.
  std::optional<std::uint64_t> Find(std::string_view key) const {
    return size_ == 0 ? std::nullopt : Find(key, Hash(key));
  }
  // The same with the key's Hash() computed already, for callers that look
  // many keys up at once (batch_lookup.h) and call PrefetchProbe(hash) a
  // while before.
  std::optional<std::uint64_t> Find(std::string_view key, std::uint64_t hash) const;
  // Starts loading the tag and the entry where a lookup of `hash` begins.
  [[gnu::always_inline]] void PrefetchProbe(std::uint64_t hash) const {
    if (size_ == 0) return;
    const std::size_t pos = Home(hash);
    __builtin_prefetch(&Tags()[pos]);
    __builtin_prefetch(&Table()[pos]);
  }

 private:
  static constexpr std::size_t kInlineKey = 15;
  static constexpr unsigned char kArenaKey = 0xFF;  // marks an arena key

  struct Entry {
    std::uint64_t offset;
    // An inline key: its bytes from key[0] and its length in key[15].  An
    // arena key: kArenaKey in key[15] and, in key[0..8), the arena position
    // << 16 | the key length.  The arena never exceeds the mapped file, and a
    // mapping is far below 2^48 bytes, so 48 bits of position suffice.
    unsigned char key[16];
  };
  static_assert(sizeof(Entry) == 24);

  // A table position's tag byte: kFree, or a byte of the key's hash from
  // kFirstTag up, so that a probe rarely compares keys that differ.
  static constexpr std::uint8_t kFree = 0;
  static constexpr std::uint8_t kFirstTag = 1;

  const Entry& EntryAt(std::size_t i) const { return Table()[Order()[i]]; }
  std::string_view KeyOf(const Entry& e) const {
    const unsigned char last = e.key[kInlineKey];
    if (last != kArenaKey) return {reinterpret_cast<const char*>(e.key), last};
    std::uint64_t ref;
    std::memcpy(&ref, e.key, sizeof ref);
    return {arena_.data() + (ref >> 16), static_cast<std::size_t>(ref & 0xFFFF)};
  }
  // Whether `e` holds `key`.  Inline keys are compared in at most two
  // fixed-size steps, without a library call: this is the last step of
  // every successful lookup.
  bool HoldsKey(const Entry& e, std::string_view key) const {
    const std::size_t n = key.size();
    const unsigned char last = e.key[kInlineKey];
    if (last == kArenaKey) return KeyOf(e) == key;
    if (last != n) return false;
    const char* k = key.data();
    if (n >= 8) {
      return Load64(e.key) == Load64(k) && Load64(e.key + n - 8) == Load64(k + n - 8);
    }
    if (n >= 4) {
      return Load32(e.key) == Load32(k) && Load32(e.key + n - 4) == Load32(k + n - 4);
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (e.key[i] != static_cast<unsigned char>(k[i])) return false;
    }
    return true;
  }
  static std::uint8_t TagOf(std::uint64_t hash) {
    const auto tag = static_cast<std::uint8_t>(hash);
    return tag < kFirstTag ? tag + kFirstTag : tag;
  }
  // Where a key's probe starts: the hash scaled to the table size, so that
  // the table need not be a power of two.
  std::size_t Home(std::uint64_t hash) const {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * capacity_) >> 64);
  }
  std::size_t Next(std::size_t pos) const { return pos + 1 == capacity_ ? 0 : pos + 1; }
  void Rebuild(std::size_t max_entries);
  // Records entry size_ at table position `pos` in file order.
  void AppendInOrder(std::size_t pos, std::uint64_t offset);
  // Starts the file-order offsets on the first duplicate key.
  void KeepFileOffsets();

  Entry* Table() const { return static_cast<Entry*>(table_.data()); }
  std::uint8_t* Tags() const { return reinterpret_cast<std::uint8_t*>(Table() + capacity_); }
  std::uint32_t* Order() const { return static_cast<std::uint32_t*>(order_.data()); }

  // capacity_ entries followed by their capacity_ tags, in one block so that
  // the tags share the table's huge pages.  Positions fit in 32 bits because
  // the table never grows past 2^32 positions.
  LargeBuffer table_;
  LargeBuffer order_;  // size_ table positions, in file order
  // Each entry's offset in file order once a key has repeated; empty before.
  LargeBuffer file_offsets_;
  std::string arena_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  std::size_t max_entries_ = 0;  // entries that fit before a rebuild
  HashKey hash_key_;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_KEY_INDEX_H_
