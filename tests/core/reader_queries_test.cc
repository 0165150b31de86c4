// Queries of an open Reader: edge cases, a randomized comparison with a
// std::map model, and concurrent use of one Reader.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/reader.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::AssembleStore;
using testing_util::RecordOffset;

class QueryTest : public testing::Test {
 protected:
  // Builds a store from blobs and (key, object id) pairs and opens it.
  const Reader& Store(const std::vector<std::string>& blobs,
                      const std::vector<std::pair<std::string, std::uint32_t>>& keys) {
    Writer w;
    for (const auto& b : blobs) EXPECT_TRUE(w.AddObject(b).ok());
    for (const auto& [k, id] : keys) EXPECT_TRUE(w.AddKey(k, id).ok());
    EXPECT_TRUE(testing_util::BuildQuietly(w, NextPath()).ok());
    return Open(true);
  }
  const Reader& Image(const std::string& image, bool verify = true) {
    testing_util::WriteFile(NextPath(), image);
    return Open(verify);
  }

  // Each store gets a file of its own, so no open Reader sees its file change.
  const std::string& NextPath() {
    return path_ = dir_.path() + "/q" + std::to_string(readers_.size()) + ".vrls";
  }
  const Reader& Open(bool verify) {
    auto r = Reader::Open(path_, verify);
    if (!r.ok()) throw std::runtime_error(r.status().ToString());
    readers_.push_back(std::move(r).value());
    return *readers_.back();
  }

  testing_util::TempDir dir_;
  std::string path_;
  std::vector<std::unique_ptr<const Reader>> readers_;
};

std::vector<std::string> KeysOf(const std::vector<KeyedObject>& items) {
  std::vector<std::string> keys;
  for (const auto& item : items) keys.push_back(item.key);
  return keys;
}

using Strings = std::vector<std::string>;

TEST_F(QueryTest, EmptyStore) {
  const Reader& r = Store({}, {});
  for (const char* key : {"", "a"}) {
    EXPECT_FALSE(r.GetRaw(key).value().has_value());
    EXPECT_FALSE(r.Exists(key));
    EXPECT_TRUE(r.PrefixRaw(key).value().empty());
  }
  EXPECT_TRUE(r.Keys().empty());
  EXPECT_TRUE(r.ItemsRaw().value().empty());
  EXPECT_TRUE(r.ObjectsRaw().value().empty());
  const ReaderStats s = r.Stats();
  EXPECT_EQ(s.path, path_);
  EXPECT_EQ(s.version, 2);
  EXPECT_EQ(s.num_keys, 0u);
  EXPECT_EQ(s.num_objects, 0u);
  EXPECT_EQ(s.index_offset, 40u);
  EXPECT_EQ(s.data_offset, 40u);
  EXPECT_EQ(s.file_size_kb, 40.0 / 1024);
  EXPECT_EQ(s.file_crc32, "0x00000000");
}

struct PrefixCase {
  const char* prefix;
  Strings keys;
};

void PrintTo(const PrefixCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.prefix)); }

class PrefixTest : public QueryTest, public testing::WithParamInterface<PrefixCase> {};

TEST_P(PrefixTest, ReturnsTheMatchingRunInIndexOrder) {
  const Reader& r =
      Store({"A", "AB", "ABC", "B", "Z"}, {{"a", 0}, {"ab", 1}, {"abc", 2}, {"b", 3}, {"b\xff", 4}});
  auto items = r.PrefixRaw(GetParam().prefix).value();
  EXPECT_EQ(KeysOf(items), GetParam().keys);
  for (const auto& item : items)
    EXPECT_EQ(item.payload, r.GetRaw(item.key == "b\uFFFD" ? "b\xff" : item.key).value());
}

INSTANTIATE_TEST_SUITE_P(Table, PrefixTest,
                         testing::Values(PrefixCase{"", {"a", "ab", "abc", "b", "b\uFFFD"}},
                                         PrefixCase{"a", {"a", "ab", "abc"}}, PrefixCase{"ab", {"ab", "abc"}},
                                         PrefixCase{"abc", {"abc"}}, PrefixCase{"abcd", {}},
                                         PrefixCase{"b", {"b", "b\uFFFD"}}, PrefixCase{"b\xff", {"b\uFFFD"}},
                                         PrefixCase{"0", {}}, PrefixCase{"aa", {}}, PrefixCase{"c", {}},
                                         PrefixCase{"\xff", {}}));

TEST_F(QueryTest, EmptyPrefixEqualsItems) {
  const Reader& r = Store({"x", "y"}, {{"", 0}, {"k", 1}, {"kk", 0}});
  EXPECT_EQ(r.PrefixRaw("").value(), r.ItemsRaw().value());
  EXPECT_EQ(r.GetRaw("").value(), "x");
}

TEST_F(QueryTest, EmptyAndLongestKeysRoundTrip) {
  const std::string longest(65535, 'k');
  const Reader& r = Store({"e", "l"}, {{"", 0}, {longest, 1}});
  EXPECT_EQ(r.GetRaw("").value(), "e");
  EXPECT_EQ(r.GetRaw(longest).value(), "l");
  EXPECT_FALSE(r.Exists(longest.substr(1)));
  EXPECT_EQ(r.Keys(), (Strings{"", longest}));
}

TEST_F(QueryTest, DuplicateEntriesKeepAllInOrderAndLookupTakesTheLast) {
  const std::vector<std::string> payloads = {"first", "second", "third"};
  const std::uint64_t o0 = 40, o1 = RecordOffset(payloads, 1), o2 = RecordOffset(payloads, 2);
  const Reader& r = Image(AssembleStore(payloads, {{"a", o0}, {"k", o0}, {"k", o1}, {"z", o2}}));
  EXPECT_EQ(r.Find("k"), o1);
  EXPECT_EQ(r.GetRaw("k").value(), "second");
  EXPECT_EQ(r.Keys(), (Strings{"a", "k", "k", "z"}));
  EXPECT_EQ(r.ItemsRaw().value(),
            (std::vector<KeyedObject>{{"a", "first"}, {"k", "first"}, {"k", "second"}, {"z", "third"}}));
  EXPECT_EQ(r.PrefixRaw("k").value(), (std::vector<KeyedObject>{{"k", "first"}, {"k", "second"}}));
  EXPECT_EQ(r.ObjectsRaw().value(), (Strings{"first", "second", "third"}));
  EXPECT_EQ(r.Stats().num_keys, 4u);
}

TEST_F(QueryTest, InvalidUtf8KeysAreListedWithReplacements) {
  const Reader& r = Store({"v"}, {{"\xffxyz", 0}});
  EXPECT_EQ(r.Keys(), Strings{"\uFFFDxyz"});
  EXPECT_FALSE(r.Exists("\uFFFDxyz"));
  EXPECT_TRUE(r.Exists("\xffxyz"));
  EXPECT_EQ(r.GetRaw("\xffxyz").value(), "v");
}

TEST_F(QueryTest, SharedAndUnreferencedObjects) {
  // Object 1 is shared by b, c and d; object 2 is never referenced; objects
  // 3 and 4 have equal bytes.
  const Reader& r = Store({"zero", "shared", "orphan", "same", "same"},
                          {{"d", 1}, {"b", 1}, {"c", 1}, {"a", 0}, {"x", 3}, {"y", 4}});
  EXPECT_EQ(
      r.ItemsRaw().value(),
      (std::vector<KeyedObject>{
          {"a", "zero"}, {"b", "shared"}, {"c", "shared"}, {"d", "shared"}, {"x", "same"}, {"y", "same"}}));
  EXPECT_EQ(r.ObjectsRaw().value(), (Strings{"zero", "shared", "same", "same"}));
  EXPECT_EQ(r.Stats().num_objects, 5u);
}

TEST_F(QueryTest, RecordPastTheEndFailsEveryReadOfIt) {
  // Objects "aa" @40, "bb" @50; keys k1 -> @40, k2 -> @50; the length of
  // the record at 50 is enlarged past the end of the file.
  std::string image = AssembleStore({"aa", "bb"}, {{"k1", 40}, {"k2", 50}});
  testing_util::PutBE32(image, 50, 1000);
  const Reader& r = Image(image, false);
  const std::string error = "corrupt: object at 50 extends beyond file end";
  EXPECT_TRUE(r.Exists("k2"));
  EXPECT_EQ(r.Keys(), (Strings{"k1", "k2"}));
  EXPECT_EQ(r.GetRaw("k2").status().ToString(), error);
  EXPECT_EQ(r.ItemsRaw().status().ToString(), error);
  EXPECT_EQ(r.ObjectsRaw().status().ToString(), error);
  EXPECT_EQ(r.PrefixRaw("k").status().ToString(), error);
  EXPECT_EQ(r.PrefixRaw("k1").value(), (std::vector<KeyedObject>{{"k1", "aa"}}));
  // An offset past the end is reported as such.
  const Reader& r2 = Image(AssembleStore({"aa"}, {{"k", 4000}}), true);
  EXPECT_EQ(r2.GetRaw("k").status().ToString(), "corrupt: offset 4000 out of bounds");
}

TEST_F(QueryTest, VisitorsWalkViewsAndStopOnAFailedVisit) {
  const Reader& r = Store({"p", "q"}, {{"a", 0}, {"b", 1}, {"c", 0}});
  std::string seen;
  EXPECT_TRUE(r.VisitEntries(1, 3, [&](std::size_t i, std::string_view v) {
                 seen += std::string(r.key_at(i)) + "=" + std::string(v) + ";";
               }).ok());
  EXPECT_EQ(seen, "b=q;c=p;");
  int calls = 0;
  Status s =
      r.VisitUniqueObjects([&](std::string_view) { return ++calls == 2 ? Status::Other("stop") : Status(); });
  EXPECT_EQ(s.ToString(), "other: stop");
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(r.PrefixRange("b"), (std::pair<std::size_t, std::size_t>{1, 2}));
}

// A lazy walk must see exactly the entries of its range, clamped to the
// index, whatever the range's position against the prefetch distances; a
// damaged record fails only its own step.
TEST_F(QueryTest, EntryCursorWalksExactlyItsRange) {
  std::vector<std::string> blobs;
  std::vector<std::pair<std::string, std::uint32_t>> keys;
  for (std::uint32_t i = 0; i < 40; ++i) {
    blobs.push_back("v" + std::to_string(i));
    keys.push_back({(i < 10 ? "k0" : "k") + std::to_string(i), i});
  }
  const Reader& r = Store(blobs, keys);
  struct Case {
    std::size_t begin, end;
    EntryCursor::Wants wants;
  };
  const Case cases[] = {
      {0, 40, EntryCursor::Wants::kObjects},  {0, 40, EntryCursor::Wants::kKeys},
      {5, 6, EntryCursor::Wants::kObjects},   {23, 40, EntryCursor::Wants::kObjects},
      {31, 99, EntryCursor::Wants::kKeys},    {39, 1000, EntryCursor::Wants::kObjects},
      {7, 7, EntryCursor::Wants::kObjects},   {12, 3, EntryCursor::Wants::kKeys},
      {40, 41, EntryCursor::Wants::kObjects},
  };
  for (const Case& c : cases) {
    std::string walked, expected;
    for (EntryCursor cur(r, c.begin, c.end, c.wants); !cur.done(); cur.Next()) {
      walked += std::to_string(cur.index()) + ":" + std::string(cur.key()) + "=" +
                std::string(cur.object().value()) + ";";
    }
    for (std::size_t i = c.begin; i < std::min<std::size_t>(c.end, 40); ++i) {
      expected += std::to_string(i) + ":" + keys[i].first + "=" + blobs[i] + ";";
    }
    EXPECT_EQ(walked, expected) << "[" << c.begin << ", " << c.end << ")";
  }

  std::string image = AssembleStore({"aa", "bb", "cc"}, {{"k1", 40}, {"k2", 50}, {"k3", 60}});
  testing_util::PutBE32(image, 50, 1000);
  const Reader& damaged = Image(image, false);
  std::vector<std::string> steps;
  for (EntryCursor cur(damaged, 0, 3); !cur.done(); cur.Next()) {
    Result<std::string_view> object = cur.object();
    steps.push_back(object.ok() ? std::string(object.value()) : object.status().ToString());
  }
  EXPECT_EQ(steps, (Strings{"aa", "corrupt: object at 50 extends beyond file end", "cc"}));
}

struct StatsCase {
  std::size_t file_size;
  std::uint32_t crc;
  double kib;
  const char* crc_text;
};

class StatsTest : public QueryTest, public testing::WithParamInterface<StatsCase> {};

TEST_P(StatsTest, SizeInKibAndCrcText) {
  // One unreferenced object padded to the wanted file size, no keys.
  std::string image = AssembleStore({std::string(GetParam().file_size - 48, 'p')}, {});
  testing_util::PutBE32(image, 32, GetParam().crc);
  const ReaderStats s = Image(image, false).Stats();
  EXPECT_EQ(s.file_size_kb, GetParam().kib);
  EXPECT_EQ(s.file_crc32, GetParam().crc_text);
  EXPECT_EQ(s.num_objects, 1u);
  EXPECT_EQ(s.index_offset, GetParam().file_size);
}

INSTANTIATE_TEST_SUITE_P(Table, StatsTest,
                         testing::Values(StatsCase{1000, 31, 0.9765625, "0x0000001f"},
                                         StatsCase{1536, 0xDEADBEEF, 1.5, "0xdeadbeef"},
                                         StatsCase{48, 0, 0.046875, "0x00000000"}));

// Random stores over a small alphabet (shared prefixes, the empty key,
// bytes that are not UTF-8) checked against a std::map.
TEST_F(QueryTest, MatchesAMapModel) {
  std::mt19937 rng(20240607);
  const std::string alphabet("ab\0\xff", 4);
  auto random_key = [&](int max_len) {
    std::string k(rng() % (max_len + 1), ' ');
    for (char& c : k) c = alphabet[rng() % alphabet.size()];
    return k;
  };
  for (int num_keys : {0, 1, 2, 3, 7, 64, 300}) {
    std::vector<std::string> blobs;
    for (int i = 0; i < num_keys / 2 + 1; ++i) blobs.push_back("blob" + std::to_string(i));
    std::map<std::string, std::uint32_t> model;
    for (int i = 0; i < num_keys; ++i) model[random_key(5)] = rng() % blobs.size();
    const Reader& r = Store(blobs, {model.begin(), model.end()});

    std::vector<KeyedObject> items;
    std::vector<std::string> objects;
    std::set<std::uint32_t> seen;
    for (const auto& [k, id] : model) {
      items.push_back({KeyToText(k), blobs[id]});
      if (seen.insert(id).second) objects.push_back(blobs[id]);
      EXPECT_EQ(r.GetRaw(k).value(), blobs[id]);
    }
    EXPECT_EQ(r.ItemsRaw().value(), items);
    EXPECT_EQ(r.ObjectsRaw().value(), objects);
    EXPECT_EQ(r.Keys(), KeysOf(items));
    EXPECT_TRUE(r.Verify().ok());
    for (int probe = 0; probe < 200; ++probe) {
      const std::string p = random_key(3);
      EXPECT_EQ(r.Exists(p), model.count(p) == 1) << num_keys;
      std::vector<KeyedObject> expected;
      for (const auto& [k, id] : model)
        if (k.starts_with(p)) expected.push_back({KeyToText(k), blobs[id]});
      EXPECT_EQ(r.PrefixRaw(p).value(), expected) << num_keys;
    }
  }
}

TEST_F(QueryTest, ThreadsSharingOneReaderAgree) {
  std::vector<std::pair<std::string, std::uint32_t>> keys;
  std::vector<std::string> blobs;
  for (int i = 0; i < 500; ++i) {
    blobs.push_back(std::string(i % 37, 'x') + std::to_string(i));
    keys.push_back({"user:" + std::to_string(i * 7919 % 1000), i});
  }
  const Reader& r = Store(blobs, keys);
  auto snapshot = [&r] {
    std::string all;
    const auto items = r.ItemsRaw();
    for (const auto& item : items.value()) all += item.key + "=" + item.payload + ";";
    const auto objects = r.ObjectsRaw();
    for (const auto& o : objects.value()) all += o + ",";
    for (int i = 0; i < 1000; i += 3) all += r.GetRaw("user:" + std::to_string(i)).value().value_or("-");
    const auto prefixed = r.PrefixRaw("user:1");
    for (const auto& item : prefixed.value()) all += item.key;
    return all + (r.Verify().ok() ? "ok" : "bad");
  };
  const std::string expected = snapshot();
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (auto& out : results) {
    threads.emplace_back([&] {
      for (int round = 0; round < 20 && (out.empty() || out == expected); ++round) out = snapshot();
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& out : results) EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace vorl
