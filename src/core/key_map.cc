#include "core/key_map.h"

#include <string>
#include <unordered_set>

#include "core/key_text.h"

namespace vorl {

std::optional<std::size_t> FirstRefusedKey(std::span<const std::string_view> keys,
                                           const std::function<bool(std::string_view)>& held) {
  std::unordered_set<std::string_view> named;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (held(keys[i]) || (keys.size() > 1 && !named.insert(keys[i]).second)) return i;
  }
  return std::nullopt;
}

bool KeyMap::Contains(std::string_view k) const {
  return !refs_.empty() && slots_[SlotIndex(k, HashBytes(hash_key_, k.data(), k.size()))] != 0;
}

std::size_t KeyMap::SlotIndex(std::string_view k, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = hash & 0xFFFFFFFF00000000u;
  for (std::size_t i = Home(hash);; i = (i + 1) & mask) {
    const std::uint64_t slot = slots_[i];
    if (slot == 0) return i;
    if ((slot & 0xFFFFFFFF00000000u) == tag && key((slot & 0xFFFFFFFFu) - 1) == k) return i;
  }
}

void KeyMap::GrowTable() {
  // Power-of-two sizes, at most three quarters full.
  const int bits = slots_.empty() ? 6 : table_bits_ + 1;
  std::vector<std::uint64_t> old(std::size_t{1} << bits, 0);
  slots_.swap(old);
  table_bits_ = bits;
  const std::size_t mask = slots_.size() - 1;
  for (std::uint64_t slot : old) {
    if (slot == 0) continue;
    // The home slot comes from the top bits of the hash, which the slot
    // keeps while the table has at most 2^32 slots; larger tables hash the
    // key again.  Keys are distinct, so the first empty slot is the place.
    std::uint64_t hash = slot;
    if (table_bits_ > 32) {
      const std::string_view k = key((slot & 0xFFFFFFFFu) - 1);
      hash = HashBytes(hash_key_, k.data(), k.size());
    }
    std::size_t i = Home(hash);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

Status KeyMap::TooManyKeys() { return Status::Other("too many keys: the limit is 4294967295"); }

Status KeyMap::DuplicateKey(std::string_view k) {
  return Status::Other("duplicate key \"" + KeyToText(k) + "\"");
}

}  // namespace vorl
