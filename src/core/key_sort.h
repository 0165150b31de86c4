// The order of the index: keys sorted as unsigned byte strings, a proper
// prefix before its extensions.  Used by the writer once per build.
#ifndef VORLSTORE_CORE_KEY_SORT_H_
#define VORLSTORE_CORE_KEY_SORT_H_

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/key_map.h"

namespace vorl {

// The positions of `keys` in ascending key order.  REQUIRES: the keys are
// distinct (the order is then total) and fewer than 2^32.
std::vector<std::uint32_t> SortedKeyOrder(std::span<const std::string_view> keys);

// The same for the keys of `keys`, read in place: no view per key is made,
// so the sort needs 20 bytes per key beyond the map.
std::vector<std::uint32_t> SortedKeyOrder(const KeyMap& keys);

}  // namespace vorl

#endif  // VORLSTORE_CORE_KEY_SORT_H_
