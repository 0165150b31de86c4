// The reader's hash containers.
//
// KeyIndex holds the index section of an open store: every entry in file
// order (key and object offset, duplicates included) and an open-addressing
// hash table over them for exact lookups.  All keys are copied once into a
// single arena owned by the index, so nothing points into the file mapping
// and a key costs its bytes plus 16 bytes of entry plus 6 to 12 bytes of
// table.  For a key that occurs more than once the table refers to the last
// of its entries.
//
// OffsetSet is a set of object offsets for the walks that visit each object
// once.
//
// Both are sized up front and keyed by NewHashKey().  Filling them is not
// thread-safe; once filled, any number of threads may read them.
#ifndef VORLSTORE_CORE_KEY_INDEX_H_
#define VORLSTORE_CORE_KEY_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/hash_seed.h"

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

  // Sizes the entries for `max_entries`, the arena for `key_bytes` and the
  // table so that `max_entries` distinct keys fit without a rehash.
  void Reserve(std::size_t max_entries, std::size_t key_bytes);

  // Appends an entry and points the table's slot for `key` at it.
  // REQUIRES: key.size() <= 65535.
  void Add(std::string_view key, std::uint64_t offset);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // REQUIRES: i < size().
  std::string_view key(std::size_t i) const { return KeyOf(entries_[i]); }
  std::uint64_t offset(std::size_t i) const { return entries_[i].offset; }

  // The offset of the last entry whose key is `key`.  An empty index answers
  // without hashing.
  std::optional<std::uint64_t> Find(std::string_view key) const;

 private:
  struct Entry {
    std::uint64_t offset;
    // Arena position << 16 | key length.  The arena never exceeds the mapped
    // file, and a mapping is far below 2^48 bytes, so 48 bits suffice.
    std::uint64_t key_ref;
  };

  std::string_view KeyOf(const Entry& e) const {
    return {arena_.data() + (e.key_ref >> 16), static_cast<std::size_t>(e.key_ref & 0xFFFF)};
  }
  // The bits of a slot that are free for a hash tag, filled from `hash`.
  std::uint32_t TagOf(std::uint64_t hash) const {
    return static_cast<std::uint32_t>(hash >> 32) & ~entry_mask_;
  }
  // The slot that holds `key`, or the empty slot where it would go.
  std::uint32_t& SlotFor(std::string_view key, std::uint64_t hash);
  void RebuildTable(std::size_t max_entries);

  std::string arena_;
  std::vector<Entry> entries_;
  struct FreeDeleter {
    void operator()(std::uint32_t* p) const { std::free(p); }
  };

  // A slot holds the entry number + 1 of the last entry of a key in its low
  // bits (entry_mask_; entry numbers are below num_keys <= 2^32 - 1) and a
  // tag of the key's hash in the bits above, so that a probe passing other
  // keys' slots rarely has to load their entries.  0 marks an empty slot.
  // The table comes from calloc: large blocks arrive as untouched zero
  // pages, so a table reserved for a damaged num_keys costs address space,
  // not memory, until the parse fails.
  std::unique_ptr<std::uint32_t[], FreeDeleter> slots_;
  std::size_t slot_mask_ = 0;
  std::uint32_t entry_mask_ = 0;
  std::size_t max_entries_ = 0;  // entries the table holds before it must grow
  HashKey hash_key_;
};

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

#endif  // VORLSTORE_CORE_KEY_INDEX_H_
