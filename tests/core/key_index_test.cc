// The reader's hash containers and their seeding, and the rule that
// refuses duplicate keys in a batch.
#include "core/key_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/hash.h"
#include "core/key_map.h"
#include "core/large_buffer.h"
#include "core/offset_set.h"

namespace vorl {
namespace {

struct MaxEntriesCase {
  std::uint32_t num_keys;
  std::uint64_t index_offset;
  std::uint64_t file_size;
  std::size_t expected;
};

class MaxEntriesTest : public testing::TestWithParam<MaxEntriesCase> {};

// A damaged num_keys never reserves more entries than the file can hold.
TEST_P(MaxEntriesTest, TrustsTheHeaderOnlyAsFarAsTheFileReaches) {
  const auto& c = GetParam();
  EXPECT_EQ(KeyIndex::MaxEntries(c.num_keys, c.index_offset, c.file_size), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, MaxEntriesTest,
                         testing::Values(MaxEntriesCase{4, 93, 137, 4}, MaxEntriesCase{5, 93, 137, 4},
                                         MaxEntriesCase{0xFFFFFFFF, 40, 100, 6},
                                         MaxEntriesCase{0xFFFFFFFF, 100, 100, 0},
                                         MaxEntriesCase{0xFFFFFFFF, 101, 100, 0},
                                         MaxEntriesCase{0xFFFFFFFF, ~std::uint64_t{0}, 100, 0},
                                         MaxEntriesCase{0, 40, 1 << 20, 0}));

TEST(KeyIndexTest, LastEntryOfAKeyWinsWhileAllEntriesStay) {
  KeyIndex index;
  EXPECT_FALSE(index.Find("").has_value());
  index.Reserve(5, 6);
  const std::string long_key(65535, 'k');
  index.Add("", 1);
  index.Add("k", 2);
  index.Add("k", 3);
  index.Add(long_key, 4);
  index.Add("k", 5);
  EXPECT_EQ(index.size(), 5u);
  EXPECT_EQ(index.Find(""), 1u);
  EXPECT_EQ(index.Find("k"), 5u);
  EXPECT_EQ(index.Find(long_key), 4u);
  EXPECT_FALSE(index.Find("kk").has_value());
  EXPECT_EQ(index.key(3), long_key);
  EXPECT_EQ(index.key(2), "k");
  EXPECT_EQ(index.offset(2), 3u);
}

TEST(KeyIndexTest, ManyKeysBeyondTheReservationAreAllFound) {
  KeyIndex index;
  index.Reserve(10, 0);  // far too small: the table has to grow
  for (int i = 0; i < 20000; ++i) index.Add("user:" + std::to_string(i), i);
  for (int i = 0; i < 20000; ++i) {
    ASSERT_EQ(index.Find("user:" + std::to_string(i)), static_cast<std::uint64_t>(i));
    ASSERT_FALSE(index.Find("user:" + std::to_string(i) + "x").has_value());
  }
}

// Keys of up to 15 bytes live inside their entry, longer ones in the arena;
// both kinds, and a mix of them, must come back byte for byte and be found
// only by their exact bytes.
class KeyLengthTest : public testing::TestWithParam<std::size_t> {};

TEST_P(KeyLengthTest, KeysAroundTheInlineLimitRoundTrip) {
  const std::size_t length = GetParam();
  std::vector<std::string> keys;
  for (char c : {'a', 'b', '\0', '\xff'}) {
    std::string k(length, 'k');
    if (length > 0) k.back() = c;
    if (length > 1) k.front() = c;
    keys.push_back(k);
  }
  // Neighbouring lengths, within the 65535-byte limit.
  keys.push_back(std::string(length == 0 ? 1 : length - 1, 'k'));
  if (length < 65535) keys.push_back(std::string(length + 1, 'k'));
  if (length == 0) keys = {"", "k"};  // "" has no variants
  KeyIndex index;
  index.Reserve(keys.size(), 0);
  for (std::size_t i = 0; i < keys.size(); ++i) index.Add(keys[i], 100 + i);
  index.ShrinkToFit();
  for (std::size_t i = 0; i < index.size(); ++i) {
    EXPECT_EQ(index.key(i), keys[i]) << i;
    EXPECT_EQ(index.offset(i), 100 + i);
    EXPECT_EQ(index.Find(keys[i]), 100 + i) << i;
  }
  std::string absent(std::max<std::size_t>(length, 1), 'k');
  absent.back() = 'z';
  EXPECT_FALSE(index.Find(absent).has_value());
}

INSTANTIATE_TEST_SUITE_P(Lengths, KeyLengthTest,
                         testing::Values(0, 1, 3, 4, 5, 7, 8, 9, 14, 15, 16, 17, 64, 65535));

// A key added again replaces its entry in the table, while every
// entry keeps its own offset in file order, also after the table grows.
TEST(KeyIndexTest, DuplicatesSurviveGrowth) {
  KeyIndex index;
  index.Reserve(1, 0);
  const std::string long_dup(40, 'd');
  std::vector<std::pair<std::string, std::uint64_t>> added;
  for (int i = 0; i < 5000; ++i) {
    const std::string key = i % 7 == 0 ? "dup" : i % 11 == 0 ? long_dup : "key" + std::to_string(i);
    index.Add(key, i);
    added.emplace_back(key, i);
  }
  ASSERT_EQ(index.size(), added.size());
  for (std::size_t i = 0; i < added.size(); ++i) {
    ASSERT_EQ(index.key(i), added[i].first);
    ASSERT_EQ(index.offset(i), added[i].second);
  }
  EXPECT_EQ(index.Find("dup"), 4998u);
  EXPECT_EQ(index.Find(long_dup), 4994u);
  EXPECT_EQ(index.Find("key4999"), 4999u);
  EXPECT_FALSE(index.Find("key4998").has_value());  // 4998 is a multiple of 7
}

// The file-order offsets start at the first repeat; every entry before and
// after it must keep its own offset, and lookups answer with the last one,
// whether the repeat comes first, late, or across table growth.
struct RepeatCase {
  const char* name;
  std::size_t reserve;
  std::vector<std::string> keys;  // entry i gets offset 1000 + i
};

class RepeatTest : public testing::TestWithParam<RepeatCase> {};

TEST_P(RepeatTest, EveryEntryKeepsItsOffsetAndTheLastOneIsFound) {
  const RepeatCase& c = GetParam();
  KeyIndex index;
  index.Reserve(c.reserve, 0);
  for (std::size_t i = 0; i < c.keys.size(); ++i) index.Add(c.keys[i], 1000 + i);
  ASSERT_EQ(index.size(), c.keys.size());
  std::map<std::string, std::uint64_t> last;
  for (std::size_t i = 0; i < c.keys.size(); ++i) {
    EXPECT_EQ(index.key(i), c.keys[i]) << i;
    EXPECT_EQ(index.offset(i), 1000 + i) << i;
    last[c.keys[i]] = 1000 + i;
  }
  for (const auto& [key, offset] : last) EXPECT_EQ(index.Find(key), offset) << key;
}

std::vector<std::string> Numbered(std::size_t n, std::size_t repeat_every) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i)
    keys.push_back(i % repeat_every == 0 ? std::string(20, 'r') : std::to_string(i));
  return keys;
}

INSTANTIATE_TEST_SUITE_P(Table, RepeatTest,
                         testing::Values(RepeatCase{"no_repeat", 4, {"a", "b", "c"}},
                                         RepeatCase{"repeat_first", 4, {"a", "a", "b"}},
                                         RepeatCase{"repeat_last", 4, {"a", "b", "c", "a"}},
                                         RepeatCase{"empty_key_only", 8, {"", "", "", "", "", "", "", ""}},
                                         RepeatCase{"repeat_then_grow", 2, Numbered(3000, 3)},
                                         RepeatCase{"grow_then_repeat", 1, Numbered(3000, 2999)},
                                         RepeatCase{"long_key_repeats", 3000, Numbered(3000, 1)}),
                         [](const testing::TestParamInfo<RepeatCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(LargeBufferTest, BlocksAreZeroedWritableAndMovable) {
  for (std::size_t bytes :
       {std::size_t{0}, std::size_t{100}, std::size_t{2} << 20, (std::size_t{5} << 20) + 3}) {
    LargeBuffer buffer(bytes);
    auto* p = static_cast<unsigned char*>(buffer.data());
    if (bytes == 0) {
      EXPECT_EQ(p, nullptr);
      continue;
    }
    ASSERT_NE(p, nullptr);
    if (bytes >= (std::size_t{2} << 20)) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (2 << 20), 0u);
    }
    for (std::size_t i = 0; i < bytes; i += 4093) EXPECT_EQ(p[i], 0) << bytes << " " << i;
    EXPECT_EQ(p[bytes - 1], 0);
    p[0] = 1;
    p[bytes - 1] = 2;
    LargeBuffer moved(std::move(buffer));
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_EQ(moved.data(), p);
    LargeBuffer assigned;
    assigned = std::move(moved);
    EXPECT_EQ(static_cast<unsigned char*>(assigned.data())[bytes - 1], 2);
  }
}

struct RefusedCase {
  std::vector<std::string_view> keys;
  std::set<std::string_view> held;
  std::optional<std::size_t> expected;
};

class FirstRefusedKeyTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(FirstRefusedKeyTest, NamesTheFirstKeyHeldOrRepeated) {
  const RefusedCase& c = GetParam();
  EXPECT_EQ(FirstRefusedKey(c.keys, [&](std::string_view k) { return c.held.contains(k); }), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FirstRefusedKeyTest,
                         testing::Values(RefusedCase{{}, {"a"}, std::nullopt},
                                         RefusedCase{{"a", "b", ""}, {"c"}, std::nullopt},
                                         RefusedCase{{"a", "b", "c"}, {"c", "b"}, 1},
                                         RefusedCase{{"a", "b", "a", "b"}, {}, 2},
                                         RefusedCase{{"", "x", ""}, {}, 2}, RefusedCase{{"x"}, {"x"}, 0}));

TEST(OffsetSetTest, ReportsNewOffsetsOnce) {
  OffsetSet set(2);
  const std::uint64_t max = ~std::uint64_t{0};
  for (std::uint64_t v : {std::uint64_t{0}, max, std::uint64_t{40}}) {
    EXPECT_TRUE(set.Insert(v));
    EXPECT_FALSE(set.Insert(v));
  }
  for (std::uint64_t v = 1; v < 5000; ++v) EXPECT_TRUE(set.Insert(v * 4096));
  for (std::uint64_t v = 1; v < 5000; ++v) EXPECT_FALSE(set.Insert(v * 4096));
  EXPECT_FALSE(set.Insert(max));
}

TEST(HashSeedTest, OneSeedPerProcessAndOneKeyPerContainer) {
  std::vector<const void*> seen(4);
  std::vector<std::thread> threads;
  for (auto& s : seen) threads.emplace_back([&s] { s = &ProcessSeed(); });
  for (auto& t : threads) t.join();
  for (const void* s : seen) EXPECT_EQ(s, &ProcessSeed());
  const HashKey a = NewHashKey(), b = NewHashKey();
  EXPECT_NE(HashBytes(a, "user:00000042", 13), HashBytes(b, "user:00000042", 13));
}

// Every length from 0 to 80 hashes within its bounds (the sanitizer build
// catches any over-read of the exactly sized buffers) and differently.
TEST(HashSeedTest, HashReadsOnlyItsBytesAndSeesEveryByte) {
  const HashKey key = NewHashKey();
  std::set<std::uint64_t> hashes;
  for (std::size_t n = 0; n <= 80; ++n) {
    auto buffer = std::make_unique<char[]>(n);
    for (std::size_t i = 0; i < n; ++i) buffer[i] = 'a';
    const std::uint64_t h = HashBytes(key, buffer.get(), n);
    EXPECT_TRUE(hashes.insert(h).second) << n;
    // Flipping any single byte changes the hash.
    for (std::size_t i = 0; i < n; ++i) {
      buffer[i] = 'b';
      EXPECT_NE(HashBytes(key, buffer.get(), n), h) << n << " " << i;
      buffer[i] = 'a';
    }
  }
}

}  // namespace
}  // namespace vorl
