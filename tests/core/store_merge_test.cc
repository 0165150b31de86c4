// Merging stores: which keys a store gives up to later stores and to the
// delete list, which objects travel and stay shared, and what stops a merge.
// Every case runs over stores read through the in-memory index and through
// the on-disk hash index section.
#include "core/store_merge.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace vorl {
namespace {

using testing_util::AssembleStore;
using testing_util::TempDir;

// Records what a merge adds: the objects in order and "key=id" per key.
class RecordingTarget final : public MergeTarget {
 public:
  Result<std::uint32_t> AddStored(std::string_view stored) override {
    if (fail_object) return Status::Other("no room for objects");
    objects.emplace_back(stored);
    return static_cast<std::uint32_t>(objects.size() - 1);
  }
  Status AddKey(std::string_view key, std::uint32_t obj_id) override {
    if (keys.size() == fail_at_key) return Status::Other("no room for keys");
    keys.push_back(std::string(key) + "=" + std::to_string(obj_id));
    return {};
  }

  std::vector<std::string> objects;
  std::vector<std::string> keys;
  bool fail_object = false;
  std::size_t fail_at_key = ~std::size_t{0};
};

// "old": a, b -> "one", c -> "two".  "new": b, d -> "three".  "dup": the key
// k twice, first -> "x", then -> "y".
struct Stores {
  explicit Stores(bool hash_index) {
    const auto build = [&](const char* name, std::vector<std::pair<const char*, std::uint32_t>> keys,
                           std::vector<const char*> objects) {
      Writer w;
      for (const char* o : objects) EXPECT_TRUE(w.AddObject(o).ok());
      for (auto [k, id] : keys) EXPECT_TRUE(w.AddKey(k, id).ok());
      BuildOptions options;
      options.print_summary = false;
      options.hash_index = hash_index;
      EXPECT_TRUE(w.Build(dir.path() + "/" + name, options).ok());
      return Open(name);
    };
    old_store = build("old", {{"a", 0}, {"b", 0}, {"c", 1}}, {"one", "two"});
    new_store = build("new", {{"b", 0}, {"d", 0}}, {"three"});
    testing_util::WriteFile(dir.path() + "/dup", AssembleStore({"x", "y"}, {{"k", 40}, {"k", 49}}));
    dup_store = Open("dup");
  }
  std::unique_ptr<const Reader> Open(const char* name) {
    auto r = Reader::Open(dir.path() + "/" + name, true);
    EXPECT_TRUE(r.ok()) << r.status().ToString();
    return r.ok() ? std::move(r).value() : nullptr;
  }
  const Reader* Named(char name) const {
    return name == 'o' ? old_store.get() : name == 'n' ? new_store.get() : dup_store.get();
  }

  TempDir dir;
  std::unique_ptr<const Reader> old_store, new_store, dup_store;
};

struct MergeCase {
  const char* name;
  const char* stores;  // merged in this order: o(ld), n(ew), d(up)
  std::vector<std::string_view> deleted;
  std::vector<std::string> objects;
  std::vector<std::string> keys;
};

class MergeTest : public testing::TestWithParam<std::tuple<MergeCase, bool>> {};

TEST_P(MergeTest, CopiesTheKeysNothingLaterOverrides) {
  const auto& [c, hash_index] = GetParam();
  const Stores stores(hash_index);
  RecordingTarget target;
  const std::string order = c.stores;
  for (std::size_t i = 0; i < order.size(); ++i) {
    std::vector<const Reader*> later;
    for (std::size_t j = i + 1; j < order.size(); ++j) later.push_back(stores.Named(order[j]));
    const Status s = MergeStore(*stores.Named(order[i]), later, c.deleted, true, target);
    ASSERT_TRUE(s.ok()) << s.ToString();
  }
  EXPECT_EQ(target.objects, c.objects);
  EXPECT_EQ(target.keys, c.keys);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MergeTest,
    testing::Combine(
        testing::Values(
            MergeCase{"SharedObjectStaysShared", "o", {}, {"one", "two"}, {"a=0", "b=0", "c=1"}},
            MergeCase{"LaterStoreWinsAKey", "on", {}, {"one", "two", "three"}, {"a=0", "c=1", "b=2", "d=2"}},
            MergeCase{"DeletedKeysGoFromEveryStore", "on", {"a", "d"}, {"two", "three"}, {"c=0", "b=1"}},
            MergeCase{
                "ObjectNoKeptKeyNamesStaysBehind", "on", {"a"}, {"two", "three"}, {"c=0", "b=1", "d=1"}},
            MergeCase{"UnknownDeletedKeyChangesNothing", "n", {"zz", ""}, {"three"}, {"b=0", "d=0"}},
            MergeCase{"LastEntryOfADuplicateKeyWins", "d", {}, {"y"}, {"k=0"}},
            MergeCase{"NothingLeftWhenEveryKeyGoes", "dn", {"k", "b", "d"}, {}, {}}),
        testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Section" : "InMemory");
    });

// A record whose payload no longer matches its CRC (the file CRC does).
std::string DamagedImage() {
  std::string image = AssembleStore({"good", "bad"}, {{"a", 40}, {"b", 52}});
  image[60] = 'B';
  testing_util::RefreshFileCrc(image);
  return image;
}

struct FailureCase {
  const char* name;
  bool check_records;
  bool fail_object;
  std::size_t fail_at_key;
  const char* expected;  // empty: the merge succeeds
  std::vector<std::string> objects;
};

class MergeFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(MergeFailureTest, FirstFailureEndsTheMerge) {
  const FailureCase& c = GetParam();
  TempDir dir;
  testing_util::WriteFile(dir.path() + "/s", DamagedImage());
  auto source = Reader::Open(dir.path() + "/s", true);
  ASSERT_TRUE(source.ok()) << source.status().ToString();
  RecordingTarget target;
  target.fail_object = c.fail_object;
  target.fail_at_key = c.fail_at_key;
  const Status s = MergeStore(*source.value(), {}, {}, c.check_records, target);
  EXPECT_EQ(s.ok() ? "" : s.ToString(), c.expected);
  EXPECT_EQ(target.objects, c.objects);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MergeFailureTest,
    testing::Values(
        FailureCase{"RecordCrcChecked",
                    true,
                    false,
                    ~std::size_t{0},
                    "corrupt: object CRC32 mismatch at offset 52",
                    {"good"}},
        FailureCase{"RecordCopiedAsStoredUnchecked", false, false, ~std::size_t{0}, "", {"good", "Bad"}},
        FailureCase{"TargetRefusesAnObject", false, true, ~std::size_t{0}, "other: no room for objects", {}},
        FailureCase{"TargetRefusesAKey", false, false, 1, "other: no room for keys", {"good", "Bad"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorl
