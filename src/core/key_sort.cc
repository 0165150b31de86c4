#include "core/key_sort.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

#include "core/coding.h"

namespace vorl {
namespace {

// One key in the sort: eight of its bytes from `depth` on, big-endian and
// zero-padded, and how many of the eight are key bytes.  Ordering by
// (chunk, real) orders the keys by those bytes, a key that ends first
// coming first; keys that tie on a full chunk go on to the next eight bytes.
struct SortItem {
  std::uint64_t chunk;
  std::uint32_t real;
  std::uint32_t entry;
};

// Ranges at least this long are sorted by radix, shorter ones by comparison.
constexpr std::size_t kRadixMin = 128;

bool ChunkLess(const SortItem& a, const SortItem& b) {
  return a.chunk != b.chunk ? a.chunk < b.chunk : a.real < b.real;
}

// Sorts [first, last) by (chunk, real) in place, most significant chunk byte
// first (an American flag sort).  The most significant byte that not all
// items share splits the range: one pass counts its values, a second swaps
// every item into its value's bucket, and each bucket goes on with the bytes
// below.  Bytes that all items share, such as those of a common prefix, are
// found in one pass and skipped.  Small buckets, and items whose whole chunk
// is equal (left to order by `real`), are sorted by comparison.  Compared
// with std::sort this reads each item a few times instead of about log2(n)
// times, and it needs no second buffer, which would raise the build's peak
// memory.
void RadixSortByChunk(SortItem* first, SortItem* last) {
  const auto n = static_cast<std::size_t>(last - first);
  std::uint64_t differing = 0;
  if (n >= kRadixMin) {
    for (const SortItem* it = first; it != last; ++it) differing |= it->chunk ^ first->chunk;
  }
  if (differing == 0) {  // a small range, or one chunk throughout
    std::sort(first, last, ChunkLess);
    return;
  }
  const int shift = (63 - std::countl_zero(differing)) / 8 * 8;
  auto value = [shift](const SortItem& item) {
    return static_cast<std::size_t>((item.chunk >> shift) & 0xFF);
  };
  std::array<std::size_t, 256> count{};
  for (const SortItem* it = first; it != last; ++it) ++count[value(*it)];
  std::array<std::size_t, 256> next{};  // where the next item of each value goes
  std::array<std::size_t, 256> end{};
  for (std::size_t v = 0, pos = 0; v < 256; ++v) {
    next[v] = pos;
    pos += count[v];
    end[v] = pos;
  }
  // Each item out of place is carried along the cycle of places it
  // displaces until one belongs where it was taken from.
  for (std::size_t v = 0; v < 256; ++v) {
    while (next[v] < end[v]) {
      SortItem carried = first[next[v]];
      for (std::size_t w = value(carried); w != v; w = value(carried)) std::swap(carried, first[next[w]++]);
      first[next[v]++] = carried;
    }
  }
  for (std::size_t v = 0, pos = 0; v < 256; pos += count[v], ++v) {
    if (count[v] > 1) RadixSortByChunk(first + pos, first + pos + count[v]);
  }
}

// The order of the n keys key_of(0), ..., key_of(n - 1).
template <typename KeyOf>
std::vector<std::uint32_t> SortOrder(std::size_t n, KeyOf key_of) {
  std::vector<SortItem> items(n);
  for (std::size_t i = 0; i < n; ++i) items[i].entry = static_cast<std::uint32_t>(i);
  // Most-significant-chunk-first: sort a range by one 8-byte chunk, then
  // each run that shares a whole chunk by the next one.  Each round reads
  // every key once, instead of every comparison reading two keys.  Small
  // runs compare whole remainders instead.  A stack, not recursion, because
  // long shared prefixes make deep rounds.
  struct Range {
    std::size_t begin, end, depth;
  };
  std::vector<Range> todo = {{0, n, 0}};
  while (!todo.empty()) {
    const Range r = todo.back();
    todo.pop_back();
    const auto first = items.begin() + static_cast<std::ptrdiff_t>(r.begin);
    const auto last = items.begin() + static_cast<std::ptrdiff_t>(r.end);
    if (r.end - r.begin <= 16) {
      std::sort(first, last, [&](const SortItem& a, const SortItem& b) {
        // string_view compares bytes as unsigned char, a proper prefix first.
        return key_of(a.entry).substr(r.depth) < key_of(b.entry).substr(r.depth);
      });
      continue;
    }
    for (auto it = first; it != last; ++it) {
      const std::string_view key = key_of(it->entry);
      const std::size_t left = key.size() - r.depth;  // a run's keys have at least depth bytes
      if (left >= 8) {
        it->chunk = LoadBE64(reinterpret_cast<const unsigned char*>(key.data()) + r.depth);
        it->real = 8;
      } else {
        unsigned char padded[8] = {};
        std::memcpy(padded, key.data() + r.depth, left);
        it->chunk = LoadBE64(padded);
        it->real = static_cast<std::uint32_t>(left);
      }
    }
    RadixSortByChunk(items.data() + r.begin, items.data() + r.end);
    // Keys are distinct, so only runs of whole chunks can tie.
    for (auto run = first; run != last;) {
      auto next = run + 1;
      while (next != last && next->chunk == run->chunk && next->real == run->real) ++next;
      if (next - run > 1) {
        todo.push_back({static_cast<std::size_t>(run - items.begin()),
                        static_cast<std::size_t>(next - items.begin()), r.depth + 8});
      }
      run = next;
    }
  }
  std::vector<std::uint32_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = items[i].entry;
  return order;
}

}  // namespace

std::vector<std::uint32_t> SortedKeyOrder(std::span<const std::string_view> keys) {
  return SortOrder(keys.size(), [keys](std::size_t i) { return keys[i]; });
}

std::vector<std::uint32_t> SortedKeyOrder(const KeyMap& keys) {
  return SortOrder(keys.size(), [&keys](std::size_t i) { return keys.key(i); });
}

}  // namespace vorl
