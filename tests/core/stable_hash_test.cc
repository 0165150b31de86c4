// The stable key hash: its values are stored in files and used to route keys
// across machines, so they are pinned here and must never change.
#include "core/stable_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace vorl {
namespace {

struct KnownAnswer {
  std::uint64_t seed;
  std::string key;
  std::uint64_t hash;
};

class StableHashKnownAnswerTest : public testing::TestWithParam<KnownAnswer> {};

TEST_P(StableHashKnownAnswerTest, ValueIsPinned) {
  const KnownAnswer& c = GetParam();
  EXPECT_EQ(StableHasher(c.seed)(c.key), c.hash);
  if (c.seed == kStableHashSeed) {
    EXPECT_EQ(StableHash64(c.key), c.hash);
  }
}

std::string Bytes1000() {
  std::string s(1000, '\0');
  for (int i = 0; i < 1000; ++i) s[i] = static_cast<char>(i * 7 + 1);
  return s;
}

// One key per length class of the function: empty, 1..3, 4..7, 8..16, one
// block plus a tail, and many blocks.
INSTANTIATE_TEST_SUITE_P(
    Table, StableHashKnownAnswerTest,
    testing::Values(KnownAnswer{0, "", 0x0F970E6DF91E8BFAu}, KnownAnswer{0, "a", 0x16AD560A12AD5995u},
                    KnownAnswer{0, "ab", 0x7A003F90F3031E48u}, KnownAnswer{0, "abc", 0xE556A5BE735C2967u},
                    KnownAnswer{0, "abcd", 0xFF7FF6B20A930D83u},
                    KnownAnswer{0, "user:000", 0x1C67FAA9FB04F7ACu},
                    KnownAnswer{0, "user:0000", 0x61F2BE2148578261u},
                    KnownAnswer{0, "0123456789abcdef", 0x230058EFD001FA1Eu},
                    KnownAnswer{0, "0123456789abcdefg", 0x64DF365315BA516Au},
                    KnownAnswer{0, "The quick brown fox jumps over the lazy dog", 0x7F46401468A9221Au},
                    KnownAnswer{0, Bytes1000(), 0x884852F37FCBE3BCu},
                    KnownAnswer{0x0123456789ABCDEF, "", 0xC2344BB55432F05Fu},
                    KnownAnswer{0x0123456789ABCDEF, "a", 0xBFDD32415BAC28BCu},
                    KnownAnswer{0x0123456789ABCDEF, "abcd", 0xDDD28D2D9CCAE236u},
                    KnownAnswer{0x0123456789ABCDEF, "user:0000", 0xEF557F95550D1B98u},
                    KnownAnswer{0x0123456789ABCDEF, "0123456789abcdefg", 0xCA3D7A6A8AF5EA3Au}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Every bit of every byte, and the length, reach the value: flipping one bit
// of a key, or cutting its last byte, gives a hash no other variant has.
TEST(StableHashTest, EveryBitAndTheLengthMatter) {
  for (std::size_t n = 0; n <= 70; ++n) {
    std::string key(n, '\0');
    for (std::size_t i = 0; i < n; ++i) key[i] = static_cast<char>('a' + (i * 5) % 26);
    std::set<std::uint64_t> seen = {StableHash64(key)};
    if (n > 0) {
      ASSERT_TRUE(seen.insert(StableHash64(key.substr(0, n - 1))).second) << n;
    }
    ASSERT_TRUE(seen.insert(StableHash64(key + '\0')).second) << n;
    for (std::size_t bit = 0; bit < 8 * n; ++bit) {
      std::string flipped = key;
      flipped[bit / 8] ^= static_cast<char>(1 << (bit % 8));
      ASSERT_TRUE(seen.insert(StableHash64(flipped)).second) << "length " << n << " bit " << bit;
    }
  }
}

// All 65,536 two-byte keys and the seeds 0..999 on one key hash apart.
TEST(StableHashTest, ShortKeysAndSeedsDoNotCollide) {
  std::set<std::uint64_t> keys;
  for (int v = 0; v < 65536; ++v)
    keys.insert(StableHash64(std::string{static_cast<char>(v >> 8), static_cast<char>(v)}));
  EXPECT_EQ(keys.size(), 65536u);
  std::set<std::uint64_t> seeds;
  for (std::uint64_t s = 0; s < 1000; ++s) seeds.insert(StableHasher(s)("user:00000001"));
  EXPECT_EQ(seeds.size(), 1000u);
}

// Routing sequential keys to shards by the hash (high bits, and the value
// modulo the shard count) fills every shard evenly.
TEST(StableHashTest, SequentialKeysSpreadEvenlyOverShards) {
  constexpr int kKeys = 160000;
  for (unsigned shards : {7u, 16u, 100u}) {
    std::vector<int> by_mod(shards), by_high(shards);
    char key[32];
    for (int i = 0; i < kKeys; ++i) {
      std::snprintf(key, sizeof key, "user:%08d", i);
      const std::uint64_t h = StableHash64(key);
      ++by_mod[h % shards];
      ++by_high[static_cast<std::uint64_t>((static_cast<unsigned __int128>(h) * shards) >> 64)];
    }
    const double expected = static_cast<double>(kKeys) / shards;
    for (const std::vector<int>* counts : {&by_mod, &by_high}) {
      const auto [lo, hi] = std::minmax_element(counts->begin(), counts->end());
      // Five standard deviations of a binomial count.
      const double slack = 5 * std::sqrt(expected);
      EXPECT_GT(*lo, expected - slack) << shards << " shards";
      EXPECT_LT(*hi, expected + slack) << shards << " shards";
    }
  }
}

}  // namespace
}  // namespace vorl
