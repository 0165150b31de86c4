// The on-disk hash index: built from store images, read back through
// Reader and compared with the in-memory index; stale, damaged and
// hostile sections.
#include "core/hash_section.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/hash_section_builder.h"
#include "core/reader.h"
#include "section_image.h"
#include "test_util.h"

namespace vorl {
namespace {

namespace hs = hash_section;
using testing_util::AssembleStore;
using testing_util::Bytes;
using testing_util::ExpectSameAnswers;
using testing_util::PutBE32;
using testing_util::PutBE64;
using testing_util::RawEntry;
using testing_util::RecordOffset;
using testing_util::RefreshFileCrc;
using testing_util::ResealTrailer;
using testing_util::SectionOffset;
using testing_util::SectionTables;
using testing_util::TablesOf;
using testing_util::TempDir;
using testing_util::TrailerPos;
using testing_util::WithSection;

class SectionFileTest : public testing::Test {
 protected:
  std::string Save(const std::string& image) {
    const std::string path = dir_.path() + "/store" + std::to_string(++files_) + ".vrls";
    testing_util::WriteFile(path, image);
    return path;
  }
  std::unique_ptr<const Reader> OpenIndexed(const std::string& image, bool verify = false) {
    auto r = Reader::Open(Save(image), verify);
    EXPECT_TRUE(r.ok()) << r.status().ToString();
    return r.ok() ? std::move(r).value() : nullptr;
  }
  std::unique_ptr<const Reader> OpenReader(const std::string& image) {
    auto r = Reader::Open(Save(image), false, IndexUse::kInMemory);
    EXPECT_TRUE(r.ok()) << r.status().ToString();
    return r.ok() ? std::move(r).value() : nullptr;
  }

  TempDir dir_;
  int files_ = 0;
};

// A sorted index over random keys: `count` keys from a small alphabet (so
// that many share prefixes), plus the empty key and a 65,535-byte key when
// asked; every `duplicate_every`-th key appears twice with another object;
// `objects` payloads, shared by many keys.
struct StoreShape {
  const char* name;
  std::size_t count;
  std::size_t max_key_len;
  std::size_t duplicate_every;  // 0: none
  std::size_t objects;
  bool special_keys;
  unsigned min_width = 4;
};

std::string RandomStore(const StoreShape& shape, std::uint64_t rng_seed) {
  std::mt19937_64 rng(rng_seed);
  std::vector<std::string> payloads;
  for (std::size_t i = 0; i < shape.objects; ++i)
    payloads.push_back(std::string(rng() % 20, 'p') + std::to_string(i));
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < shape.count; ++i) {
    std::string key(rng() % (shape.max_key_len + 1), '\0');
    for (char& c : key) c = "ab\x00\xff/"[rng() % 5];
    keys.push_back(std::move(key));
  }
  if (shape.special_keys) {
    keys.push_back("");
    keys.push_back(std::string(65535, 'z'));
  }
  std::vector<RawEntry> entries;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const int copies = shape.duplicate_every != 0 && i % shape.duplicate_every == 0 ? 2 : 1;
    for (int c = 0; c < copies; ++c)
      entries.push_back({keys[i], RecordOffset(payloads, rng() % payloads.size())});
  }
  // Sorted by key only: equal keys keep their order, the later one wins.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const RawEntry& a, const RawEntry& b) { return a.key < b.key; });
  return AssembleStore(payloads, entries);
}

class RoundTripTest : public SectionFileTest, public testing::WithParamInterface<StoreShape> {};

TEST_P(RoundTripTest, AnswersEqualTheInMemoryIndex) {
  const StoreShape& shape = GetParam();
  for (std::uint64_t seed : {1u, 2u}) {
    const std::string plain = RandomStore(shape, seed);
    const std::string image = WithSection(plain, seed * 0x9E3779B97F4A7C15u, shape.min_width);
    auto indexed = OpenIndexed(image, true);
    auto reader = OpenReader(image);
    ASSERT_TRUE(indexed && reader);
    EXPECT_TRUE(indexed->has_hash_index());
    ExpectSameAnswers(*indexed, *reader);
    // The objects come from the same bytes as the in-memory index's.
    for (std::size_t i = 0; i < std::min<std::size_t>(reader->num_entries(), 50); ++i) {
      const std::string_view key = reader->Entry(i).value().key;
      auto object = indexed->FindObject(key);
      ASSERT_TRUE(object.ok() && object.value());
      EXPECT_EQ(*object.value(), reader->FindObject(key).value().value());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, RoundTripTest,
                         testing::Values(StoreShape{"Empty", 0, 0, 0, 1, false},
                                         StoreShape{"OnlyEmptyAndLongKey", 0, 0, 0, 1, true},
                                         StoreShape{"OneKey", 1, 3, 0, 1, false},
                                         StoreShape{"ShortKeys", 2000, 6, 0, 50, true},
                                         StoreShape{"Duplicates", 1500, 8, 3, 7, true},
                                         StoreShape{"SharedObject", 500, 40, 0, 1, false},
                                         StoreShape{"AllOneKey", 40, 0, 1, 5, false},
                                         StoreShape{"Width5", 800, 12, 4, 9, true, 5},
                                         StoreShape{"Width8", 800, 12, 0, 9, false, 8}),
                         [](const auto& info) { return std::string(info.param.name); });

// `count` entries under one key, all for the object right after the header:
// enough for planning, which looks at sizes and lengths only.
struct SameKeyEntries final : IndexEntries {
  SameKeyEntries(std::size_t count, std::string key) : count(count), k(std::move(key)) {}
  std::size_t size() const override { return count; }
  std::string_view key(std::size_t) const override { return k; }
  std::uint64_t object_offset(std::size_t) const override { return 40; }
  std::size_t count;
  std::string k;
};

// The section adds 17.3 bytes per key at width 4, plus padding and trailer.
TEST(HashSectionPlanTest, CostsAboutSeventeenBytesPerKeyUnder4GiB) {
  const SameKeyEntries keys(100000, "user:00000000");
  Result<HashSectionPlan> plan = PlanHashSection(keys, 40);
  ASSERT_TRUE(plan.ok());
  EXPECT_EQ(plan.value().width, 4u);
  EXPECT_EQ(plan.value().capacity, 133334u);
  EXPECT_EQ(plan.value().section_length,
            plan.value().padding + 133334u * 10 + 100000u * 4 + hs::kTrailerSize);
}

struct WidthCase {
  std::uint64_t index_length;
  unsigned width;
};
class WidthTest : public testing::TestWithParam<WidthCase> {};
TEST_P(WidthTest, PositionPlusOneFits) { EXPECT_EQ(hs::WidthFor(GetParam().index_length), GetParam().width); }
INSTANTIATE_TEST_SUITE_P(Table, WidthTest,
                         testing::Values(WidthCase{0, 4}, WidthCase{0xFFFFFFFFu, 4}, WidthCase{1ull << 32, 5},
                                         WidthCase{(1ull << 40) - 1, 5}, WidthCase{1ull << 40, 6},
                                         WidthCase{1ull << 56, 8}, WidthCase{~0ull, 8}));

struct PlanErrorCase {
  const char* name;
  std::uint64_t index_offset;
  std::size_t key_len;
  unsigned min_width;
};
class PlanErrorTest : public testing::TestWithParam<PlanErrorCase> {};
TEST_P(PlanErrorTest, RefusesWhatCannotBeAnIndex) {
  const SameKeyEntries keys(1, std::string(GetParam().key_len, 'k'));
  Result<HashSectionPlan> plan = PlanHashSection(keys, GetParam().index_offset, GetParam().min_width);
  ASSERT_FALSE(plan.ok());
  EXPECT_EQ(plan.status().kind(), ErrorKind::kOther);
}
INSTANTIATE_TEST_SUITE_P(Table, PlanErrorTest,
                         testing::Values(PlanErrorCase{"KeyTooLong", 40, 65536, 4},
                                         PlanErrorCase{"IndexInHeader", 39, 1, 4},
                                         PlanErrorCase{"Width3", 40, 1, 3},
                                         PlanErrorCase{"Width9", 40, 1, 9}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HashSectionPlanTest, AppendChecksThatTheBufferEndsAtTheIndex) {
  const SameKeyEntries keys(1, "k");
  std::string buffer(40 + 10, '\0');  // one entry of 11 bytes would end at 51
  EXPECT_EQ(AppendHashSection(keys, 40, 1, buffer).kind(), ErrorKind::kOther);
  EXPECT_EQ(buffer.size(), 50u);
  buffer.resize(51);
  EXPECT_TRUE(AppendHashSection(keys, 40, 1, buffer).ok());
}

// --- Sections that do not belong to the file are ignored.

std::string SmallStore() { return RandomStore(StoreShape{"small", 12, 5, 4, 3, false}, 99); }

struct StaleCase {
  const char* name;
  std::function<void(std::string&)> change;
  bool reseal = true;  // recompute the trailer CRC after the change
};

class StaleSectionTest : public SectionFileTest, public testing::WithParamInterface<StaleCase> {};

TEST_P(StaleSectionTest, IsIgnoredAndTheIndexIsReadInstead) {
  std::string image = WithSection(SmallStore());
  GetParam().change(image);
  if (GetParam().reseal) ResealTrailer(image);
  auto indexed = OpenIndexed(image);
  auto reader = OpenReader(image);
  ASSERT_TRUE(indexed && reader);
  EXPECT_FALSE(indexed->has_hash_index());
  ExpectSameAnswers(*indexed, *reader);
}

// Adds `delta` to the trailer's u64 or u32 field at `pos`.
std::function<void(std::string&)> Add64(std::size_t pos, std::int64_t delta) {
  return [=](std::string& f) {
    PutBE64(f, TrailerPos(f) + pos, LoadBE64(Bytes(f) + TrailerPos(f) + pos) + delta);
  };
}
std::function<void(std::string&)> Add32(std::size_t pos, std::int64_t delta) {
  return [=](std::string& f) {
    PutBE32(f, TrailerPos(f) + pos, LoadBE32(Bytes(f) + TrailerPos(f) + pos) + delta);
  };
}
std::function<void(std::string&)> SetByte(std::size_t pos, char v) {
  return [=](std::string& f) { f[TrailerPos(f) + pos] = v; };
}

INSTANTIATE_TEST_SUITE_P(
    Table, StaleSectionTest,
    testing::Values(
        StaleCase{"TrailerCrc", Add32(hs::kTrailerCrcPos, 1), false},
        StaleCase{"TrailerByteUnsealed", SetByte(hs::kSeedPos, 'x'), false},
        StaleCase{"Magic", SetByte(3, 'Y')}, StaleCase{"Version0", SetByte(hs::kVersionPos, 0)},
        StaleCase{"Version2", SetByte(hs::kVersionPos, 2)}, StaleCase{"Width3", SetByte(hs::kWidthPos, 3)},
        StaleCase{"Width5", SetByte(hs::kWidthPos, 5)}, StaleCase{"Width9", SetByte(hs::kWidthPos, 9)},
        StaleCase{"Reserved", SetByte(hs::kReservedPos + 1, 1)},
        StaleCase{"Reserved2", SetByte(hs::kReserved2Pos, 1)},
        StaleCase{"SectionOffsetUp", Add64(hs::kSectionOffsetPos, 1)},
        StaleCase{"SectionOffsetDown", Add64(hs::kSectionOffsetPos, -1)},
        StaleCase{"SectionLengthUp", Add64(hs::kSectionLengthPos, 1)},
        StaleCase{"SectionLengthDown", Add64(hs::kSectionLengthPos, -1)},
        StaleCase{"IndexOffset", Add64(hs::kIndexOffsetPos, 1)},
        StaleCase{"IndexOffsetMax", Add64(hs::kIndexOffsetPos, -1 - 0x7FFFFFFFFFFFFFFFll)},
        StaleCase{"IndexLengthUp", Add64(hs::kIndexLengthPos, 1)},
        StaleCase{"IndexLengthDown", Add64(hs::kIndexLengthPos, -1)},
        StaleCase{"IndexLengthHuge", Add64(hs::kIndexLengthPos, 1ll << 62)},
        StaleCase{"CapacityUp", Add64(hs::kCapacityPos, 1)},
        StaleCase{"CapacityDown", Add64(hs::kCapacityPos, -1)},
        StaleCase{"CapacityWraps", Add64(hs::kCapacityPos, 1ll << 62)},
        StaleCase{"NumKeysUp", Add32(hs::kNumKeysPos, 1)},
        StaleCase{"NumKeysDown", Add32(hs::kNumKeysPos, -1)},
        StaleCase{"MaxProbePastCapacity",
                  [](std::string& f) {
                    const std::size_t t = TrailerPos(f);
                    PutBE32(f, t + hs::kMaxProbePos, LoadBE64(Bytes(f) + t + hs::kCapacityPos) + 1);
                  }},
        // The header no longer describes the index the section was built for.
        StaleCase{"HeaderNumKeys", [](std::string& f) { PutBE32(f, 8, LoadBE32(Bytes(f) + 8) - 1); }, false},
        StaleCase{"HeaderSkipsFirstEntry",
                  [](std::string& f) {
                    const std::uint64_t index = LoadBE64(Bytes(f) + 16);
                    PutBE64(f, 16, index + 10 + LoadBE16(Bytes(f) + index));
                    PutBE32(f, 8, LoadBE32(Bytes(f) + 8) - 1);
                  },
                  false},
        // The trailer is no longer at the end of the file.
        StaleCase{"ByteAppended", [](std::string& f) { f += '\0'; }, false},
        StaleCase{"SectionAppendedTwice", [](std::string& f) { f += f.substr(SectionOffset(f)); }, false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Damage with the checksum skipped: never a crash or a wrong answer.

class DamageTest : public SectionFileTest {
 protected:
  // The small store with a section, and a reader of it without one: what the
  // answers through a damaged section are held against.
  const std::string plain_ = SmallStore();
  const std::string sectioned_ = WithSection(plain_);
  const std::unique_ptr<const Reader> truth_ = OpenReader(plain_);

  // Every lookup and entry read ends, with a corrupt error at worst.  With
  // `exact`, a found key also has its true offset: the fingerprint and the
  // key comparison keep a damaged slot from answering for another key.  A
  // section crafted with its trailer intact can point into the middle of
  // an entry whose bytes spell the key, like a crafted index can hold any
  // offset; the answer is then read with the usual record bounds checks.
  void ExpectSafeAnswers(const Reader& indexed, const Reader& truth, const std::string& what, bool exact) {
    for (const std::string& key : testing_util::ProbeKeys(truth)) {
      Result<std::optional<std::uint64_t>> found = indexed.Find(key);
      if (!found.ok()) {
        ASSERT_EQ(found.status().kind(), ErrorKind::kCorrupt) << what;
      } else if (found.value() && exact) {
        ASSERT_EQ(found.value(), truth.Find(key).value()) << what;
      }
      Result<std::optional<std::string_view>> object = indexed.FindObject(key);
      if (!object.ok()) {
        ASSERT_EQ(object.status().kind(), ErrorKind::kCorrupt) << what;
      }
      Result<std::pair<std::size_t, std::size_t>> range = indexed.PrefixRange(key);
      if (range.ok()) {
        ASSERT_LE(range.value().first, range.value().second) << what;
        ASSERT_LE(range.value().second, indexed.num_entries()) << what;
      } else {
        ASSERT_EQ(range.status().kind(), ErrorKind::kCorrupt) << what;
      }
    }
    for (std::size_t i = 0; i < indexed.num_entries(); ++i) {
      Result<EntryView> entry = indexed.Entry(i);
      if (!entry.ok()) {
        ASSERT_EQ(entry.status().kind(), ErrorKind::kCorrupt) << what;
      }
    }
  }
};

TEST_F(DamageTest, EveryFlippedSectionByte) {
  ASSERT_TRUE(truth_);
  for (std::size_t pos = SectionOffset(sectioned_); pos < sectioned_.size(); ++pos) {
    for (char mask : {'\x01', '\x80', '\xff'}) {
      std::string damaged = sectioned_;
      damaged[pos] ^= mask;
      auto indexed = OpenIndexed(damaged);
      ASSERT_TRUE(indexed);
      ExpectSafeAnswers(*indexed, *truth_, "byte " + std::to_string(pos), true);
      // The whole-file check finds every such change.
      EXPECT_FALSE(Reader::Open(Save(damaged), true).ok());
    }
  }
}

TEST_F(DamageTest, EveryTruncationOpensAsTheReaderDoes) {
  const std::string image = WithSection(SmallStore());
  for (std::size_t size = 0; size < image.size(); ++size) {
    const std::string cut = image.substr(0, size);
    auto indexed = Reader::Open(Save(cut), false);
    auto reader = Reader::Open(Save(cut), false, IndexUse::kInMemory);
    ASSERT_EQ(indexed.ok(), reader.ok()) << size;
    if (!reader.ok()) {
      EXPECT_EQ(indexed.status().ToString(), reader.status().ToString());
      continue;
    }
    EXPECT_FALSE(indexed.value()->has_hash_index()) << size;
    ExpectSameAnswers(*indexed.value(), *reader.value());
  }
}

// Sections whose trailer is intact but whose slots or positions lie.
struct HostileCase {
  const char* name;
  // Rewrites the slots and order of a section with `capacity` slots at
  // `slots`, for keys of fingerprint `fingerprint`.
  std::function<void(unsigned char* slots, std::uint64_t capacity, unsigned char* order,
                     std::uint32_t fingerprint)>
      lie;
  std::uint32_t max_probe = 0;  // 0: as built
};

class HostileSectionTest : public DamageTest, public testing::WithParamInterface<HostileCase> {};

TEST_P(HostileSectionTest, LookupsStayBoundedAndInside) {
  ASSERT_TRUE(truth_);
  std::string image = sectioned_;
  const std::size_t t = TrailerPos(image);
  const SectionTables tables = TablesOf(image);
  const StableHasher hasher(LoadBE64(Bytes(image) + t + hs::kSeedPos));
  GetParam().lie(tables.slots, tables.capacity, tables.order,
                 hs::FingerprintOf(hasher(truth_->Entry(0).value().key)));
  if (GetParam().max_probe != 0)
    PutBE32(image, t + hs::kMaxProbePos, std::min<std::uint64_t>(GetParam().max_probe, tables.capacity));
  ResealTrailer(image);
  auto indexed = OpenIndexed(image);
  ASSERT_TRUE(indexed);
  ASSERT_TRUE(indexed->has_hash_index());
  ExpectSafeAnswers(*indexed, *truth_, GetParam().name, false);
}

// Every slot: the fingerprint, `position` + 1 as written, and a hint at
// the last line of the address space.
void FillSlots(unsigned char* slots, std::uint64_t capacity, std::uint32_t fingerprint,
               std::uint32_t position) {
  for (std::uint64_t i = 0; i < capacity; ++i) {
    unsigned char* slot = slots + hs::SlotSize(4) * i;
    StoreBE16(slot, static_cast<std::uint16_t>(fingerprint));
    StoreBE32(slot + 2, position);
    StoreBE32(slot + 6, 0xFFFFFFFF);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileSectionTest,
    testing::Values(
        // No free slot, every fingerprint matching, every position the wrong
        // entry (the second one): the probe ends after capacity slots.
        HostileCase{"FullTableOfWrongEntries",
                    [](unsigned char* s, std::uint64_t c, unsigned char*, std::uint32_t fp) {
                      FillSlots(s, c, fp, 1 + 12);
                    },
                    0xFFFFFFFF},
        HostileCase{"PositionsPastTheIndex", [](unsigned char* s, std::uint64_t c, unsigned char*,
                                                std::uint32_t fp) { FillSlots(s, c, fp, 0xFFFFFFFF); }},
        HostileCase{"PositionsInsideAnEntry",
                    [](unsigned char* s, std::uint64_t c, unsigned char*, std::uint32_t fp) {
                      FillSlots(s, c, fp, 3);
                    },
                    0xFFFFFFFF},
        HostileCase{"OrderPastTheIndex",
                    [](unsigned char*, std::uint64_t, unsigned char* o, std::uint32_t) {
                      for (int i = 0; i < 12; ++i) StoreBE32(o + 4 * i, 0xFFFFFFF0u - i);
                    }},
        HostileCase{"OrderAllTheSame",
                    [](unsigned char*, std::uint64_t, unsigned char* o, std::uint32_t) {
                      for (int i = 0; i < 12; ++i) StoreBE32(o + 4 * i, 0);
                    }},
        HostileCase{"MaxProbeZero", [](unsigned char*, std::uint64_t, unsigned char*, std::uint32_t) {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// Sections that read safely but disagree with the sorted index, with the
// file CRC made to match: only the deep verification can tell, and it names
// the first entry that disagrees.  The in-memory index over the same bytes
// verifies.  "{n}" stands for the number of distinct keys, "{n+1}" for one
// more, "{last}" for the last entry.
struct DisagreeCase {
  const char* name;
  // Rewrites the slots or order of a section with `capacity` slots (4-byte
  // positions); `last` is the slot answering for the last entry's key.
  std::function<void(unsigned char* slots, std::uint64_t capacity, unsigned char* order, unsigned char* last)>
      change;
  const char* verify_error;
};

class DisagreeingSectionTest : public DamageTest, public testing::WithParamInterface<DisagreeCase> {};

TEST_P(DisagreeingSectionTest, OnlyTheDeepCheckFindsIt) {
  ASSERT_TRUE(truth_);
  std::string image = sectioned_;
  std::set<std::string_view> keys;
  for (std::size_t i = 0; i < truth_->num_entries(); ++i) keys.insert(truth_->Entry(i).value().key);
  const auto [capacity, slots, order] = TablesOf(image);
  const std::uint32_t last_position = LoadBE32(order + 4 * (truth_->num_entries() - 1));
  unsigned char* last = nullptr;
  for (std::uint64_t i = 0; i < capacity; ++i) {
    if (LoadBE32(slots + i * hs::SlotSize(4) + 2) == last_position + 1) last = slots + i * hs::SlotSize(4);
  }
  ASSERT_NE(last, nullptr);
  GetParam().change(slots, capacity, order, last);
  RefreshFileCrc(image);

  auto indexed = OpenIndexed(image, /*verify=*/true);
  ASSERT_TRUE(indexed && indexed->has_hash_index());
  std::string expected = GetParam().verify_error;
  for (const auto& [mark, n] : {std::pair{"{n+1}", keys.size() + 1}, std::pair{"{n}", keys.size()},
                                std::pair{"{last}", truth_->num_entries() - 1}}) {
    if (const std::size_t at = expected.find(mark); at != std::string::npos) {
      expected.replace(at, std::string_view(mark).size(), std::to_string(n));
    }
  }
  const Status verified = indexed->Verify();
  EXPECT_EQ(verified.ok() ? "OK" : verified.ToString(), expected);
  auto in_memory = Reader::Open(Save(image), true, IndexUse::kInMemory);
  ASSERT_TRUE(in_memory.ok());
  EXPECT_TRUE(in_memory.value()->Verify().ok());
}

INSTANTIATE_TEST_SUITE_P(
    Table, DisagreeingSectionTest,
    testing::Values(
        DisagreeCase{"Intact", [](unsigned char*, std::uint64_t, unsigned char*, unsigned char*) {}, "OK"},
        DisagreeCase{"OrderSwapped",
                     [](unsigned char*, std::uint64_t, unsigned char* o, unsigned char*) {
                       const std::uint32_t first = LoadBE32(o);
                       StoreBE32(o, LoadBE32(o + 4));
                       StoreBE32(o + 4, first);
                     },
                     "corrupt: hash index entry 0 is not index entry 0"},
        DisagreeCase{"OrderRepeated",
                     [](unsigned char*, std::uint64_t, unsigned char* o, unsigned char*) {
                       StoreBE32(o + 4, LoadBE32(o));
                     },
                     "corrupt: hash index entry 1 is not index entry 1"},
        DisagreeCase{"SlotFreed",
                     [](unsigned char*, std::uint64_t, unsigned char*, unsigned char* last) {
                       StoreBE32(last + 2, 0);
                     },
                     "corrupt: hash index does not answer the key of index entry {last} with that entry"},
        DisagreeCase{
            "FingerprintChanged",
            [](unsigned char*, std::uint64_t, unsigned char*, unsigned char* last) { last[0] ^= 0x5A; },
            "corrupt: hash index does not answer the key of index entry {last} with that entry"},
        DisagreeCase{"ExtraSlot",
                     [](unsigned char* s, std::uint64_t c, unsigned char*, unsigned char* last) {
                       for (std::uint64_t i = 0; i < c; ++i) {
                         unsigned char* slot = s + i * hs::SlotSize(4);
                         if (LoadBE32(slot + 2) != 0) continue;
                         std::copy(last, last + hs::SlotSize(4), slot);
                         return;
                       }
                     },
                     "corrupt: hash index has {n+1} slots in use for {n} distinct keys"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorl
