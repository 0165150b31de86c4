// KeyMap: the writer's map from key to object id while keys are added (see
// hash.h for the reader's tables).  A key added again keeps its entry; the
// duplicate rule decides whether it takes the new id, keeps the old one or
// is refused, and every such addition is counted.  Entries are numbered in order of each key's first
// addition; the writer sorts them by key when it builds.
//
// An open-addressing hash table over the entries.  Entry i has its bytes in
// one buffer at refs_[i] >> 16 (48 bits of position are more than any memory
// holds), its length in the low 16 bits, and its id in ids_[i].  A slot holds
// 0 (empty) or the entry number + 1 in its low 32 bits and the high 32 bits
// of the key's hash above them, so that probes rarely touch other keys'
// bytes and growing the table rarely needs them.
//
// Not thread-safe.
#ifndef VORLSTORE_CORE_KEY_MAP_H_
#define VORLSTORE_CORE_KEY_MAP_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/byte_buffer.h"
#include "core/format.h"
#include "core/hash.h"
#include "core/status.h"

namespace vorl {

// What adding a key that is already present does.
enum class OnDuplicate : std::uint8_t {
  kLast,   // the key takes the new id (the low-level writer's rule)
  kFirst,  // the key keeps its first id
  kError,  // the addition fails and changes nothing
};

// The position of the first of `keys` that the rule kError refuses: one
// that held(key) says is stored already, or that an earlier one of `keys`
// names too; none when the rule refuses none of them.  A batch add asks
// this before it adds anything, so that a refused batch changes nothing.
std::optional<std::size_t> FirstRefusedKey(std::span<const std::string_view> keys,
                                           const std::function<bool(std::string_view)>& held);

class KeyMap {
 public:
  KeyMap() = default;
  KeyMap(const KeyMap&) = delete;
  KeyMap& operator=(const KeyMap&) = delete;

  // Maps `k` to `id`; a key already present is handled by `rule`, and
  // counted in duplicates() unless refused.  Fails (kind other) for a
  // duplicate under kError, and when a new key would make 2^32 entries,
  // which the slots' 32-bit entry numbers and the format's key count cannot
  // hold.  REQUIRES: key.size() <= 65535.  Inline: it is every build's
  // per-key step.
  Status Put(std::string_view k, std::uint32_t id, OnDuplicate rule = OnDuplicate::kLast);
  // Whether `k` has an entry.  REQUIRES: the table was not released.
  bool Contains(std::string_view k) const;

  std::size_t size() const { return refs_.size(); }
  // The bytes of all keys together.
  std::size_t key_bytes() const { return bytes_.size(); }
  // Entry i's key and id.  REQUIRES: i < size().
  std::string_view key(std::size_t i) const {
    return {reinterpret_cast<const char*>(bytes_.data()) + (refs_[i] >> 16),
            static_cast<std::size_t>(refs_[i] & 0xFFFF)};
  }
  std::uint32_t id(std::size_t i) const { return ids_[i]; }
  // How many additions named a key that was already present.
  std::uint64_t duplicates() const { return duplicates_; }

  // Frees the hash table, a third of the map's memory, once no key will be
  // added: a streaming build sorts the keys without it.  The entries stay
  // readable.  Put must not be called afterwards.
  void ReleaseTable() { std::vector<std::uint64_t>().swap(slots_); }

 private:
  // Where a key's probe starts: the top bits of its hash.
  std::size_t Home(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> (64 - table_bits_)); }
  // The slot that holds `key`, or the empty slot where it belongs.
  // REQUIRES: the table has slots.
  std::size_t SlotIndex(std::string_view k, std::uint64_t hash) const;
  std::uint64_t& SlotFor(std::string_view k, std::uint64_t hash) { return slots_[SlotIndex(k, hash)]; }
  void GrowTable();
  static Status TooManyKeys();
  static Status DuplicateKey(std::string_view k);

  ByteBuffer bytes_;
  std::vector<std::uint64_t> refs_;
  std::vector<std::uint32_t> ids_;
  std::vector<std::uint64_t> slots_;
  int table_bits_ = 0;  // slots_.size() == 2^table_bits_
  HashKey hash_key_ = NewHashKey();
  std::uint64_t duplicates_ = 0;
};

inline Status KeyMap::Put(std::string_view k, std::uint32_t id, OnDuplicate rule) {
  if ((refs_.size() + 1) * 4 > slots_.size() * 3) GrowTable();
  const std::uint64_t hash = HashBytes(hash_key_, k.data(), k.size());
  std::uint64_t& slot = SlotFor(k, hash);
  if (slot != 0) [[unlikely]] {
    if (rule == OnDuplicate::kError) return DuplicateKey(k);
    if (rule == OnDuplicate::kLast) ids_[(slot & 0xFFFFFFFFu) - 1] = id;
    ++duplicates_;
    return {};
  }
  // Ids fit in 32 bits and every key needs an object, yet many keys may
  // share one object, so the key count needs its own limit.
  if (refs_.size() >= format::kMaxCount) [[unlikely]]
    return TooManyKeys();
  const std::size_t pos = bytes_.size();
  if (!k.empty()) std::memcpy(bytes_.Extend(k.size()), k.data(), k.size());
  ids_.push_back(id);
  try {
    refs_.push_back((std::uint64_t{pos} << 16) | k.size());
  } catch (...) {
    ids_.pop_back();  // out of memory leaves the map as it was
    throw;
  }
  slot = (hash & 0xFFFFFFFF00000000u) | refs_.size();
  return {};
}

}  // namespace vorl

#endif  // VORLSTORE_CORE_KEY_MAP_H_
