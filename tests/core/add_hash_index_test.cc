// AddHashIndex: existing stores gain a section that answers as their
// in-memory index does, keeping every byte before the index end; damaged
// stores are refused with the reader's errors and left alone.  Also the
// section mode of Reader::Verify, which such files reach.
#include "core/add_hash_index.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/reader.h"
#include "section_image.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::AssembleStore;
using testing_util::ListDir;
using testing_util::PutBE32;
using testing_util::PutBE64;
using testing_util::ReadFile;
using testing_util::RefreshFileCrc;
using testing_util::TempDir;
using testing_util::WithSection;

std::string Outcome(const auto& r) { return r.ok() ? std::string("OK") : r.status().ToString(); }
std::string Outcome(const Status& s) { return s.ok() ? std::string("OK") : s.ToString(); }

// Objects "alpha" @40, "bravo" @53 and "" @66.
std::string Plain() {
  return AssembleStore({"alpha", "bravo", ""}, {{"a", 40}, {"b", 40}, {"c", 53}, {"d", 66}});
}

struct RoundTrip {
  const char* name;
  std::function<std::string()> image;
  std::size_t index_end;  // bytes kept from the original
};

class AddHashIndexRoundTripTest : public testing::TestWithParam<RoundTrip> {};

TEST_P(AddHashIndexRoundTripTest, AnswersAsTheInMemoryIndexAndKeepsTheBytes) {
  TempDir dir;
  const std::string path = dir.path() + "/s.vrls";
  const std::string before = GetParam().image();
  testing_util::WriteFile(path, before);
  Result<BuildSummary> summary = AddHashIndex(path);
  ASSERT_TRUE(summary.ok()) << summary.status().ToString();
  EXPECT_EQ(ListDir(dir.path()), "s.vrls");
  const std::string after = ReadFile(path);
  EXPECT_EQ(summary.value().bytes, after.size());
  const std::size_t end = GetParam().index_end;
  ASSERT_GT(after.size(), end);
  EXPECT_EQ(after.substr(0, 32), before.substr(0, 32));
  EXPECT_EQ(after.substr(36, end - 36), before.substr(36, end - 36));

  auto indexed = Reader::Open(path);
  auto reader = Reader::Open(path, true, IndexUse::kInMemory);
  ASSERT_TRUE(indexed.ok()) << indexed.status().ToString();
  ASSERT_TRUE(reader.ok()) << reader.status().ToString();
  EXPECT_TRUE(indexed.value()->has_hash_index());
  testing_util::ExpectSameAnswers(*indexed.value(), *reader.value());
  EXPECT_EQ(Outcome(indexed.value()->Verify()), Outcome(reader.value()->Verify()));
}

// Index ends as numbers: the table is built before main, when no CRC may
// be taken yet (that would fix the backend choice the CRC tests override).
constexpr std::size_t kPlainEnd = 40 + 3 * 8 + 10 + 4 * 11;
std::string DuplicateKeys() {
  return AssembleStore({"x", "y", "z"}, {{"a", 49}, {"k", 40}, {"k", 58}, {"k", 49}});
}

INSTANTIATE_TEST_SUITE_P(
    Table, AddHashIndexRoundTripTest,
    testing::Values(RoundTrip{"Plain", Plain, kPlainEnd},
                    RoundTrip{"ReservedHeaderBytesKept",
                              [] {
                                std::string f = Plain();
                                f[5] = 'r';
                                PutBE32(f, 36, 0xABCD);
                                return f;
                              },
                              kPlainEnd},
                    RoundTrip{"TrailingBytesDropped",
                              [] {
                                return AssembleStore({"x"}, {{"k", 40}}, "junk");
                              },
                              40 + 9 + 11},
                    RoundTrip{"StaleSectionReplaced",
                              [] {
                                // A section built for the store before its last key was cut off.
                                std::string f = WithSection(Plain());
                                PutBE32(f, 8, 3);
                                RefreshFileCrc(f);
                                return f;
                              },
                              kPlainEnd - 11},
                    RoundTrip{"CurrentSectionRebuilt", [] { return WithSection(Plain()); }, kPlainEnd},
                    RoundTrip{"DuplicateKeysLastWins", DuplicateKeys, 40 + 3 * 9 + 4 * 11},
                    RoundTrip{"NoKeys", [] { return AssembleStore({"x"}, {}); }, 49}),
    [](const auto& info) { return std::string(info.param.name); });

// A store the reader refuses is refused with the same error, untouched.
struct Refusal {
  const char* name;
  std::function<void(std::string&)> damage;
};

class AddHashIndexRefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(AddHashIndexRefusalTest, FailsAsReaderOpenAndLeavesTheFile) {
  TempDir dir;
  const std::string path = dir.path() + "/s.vrls";
  std::string image = Plain();
  GetParam().damage(image);
  testing_util::WriteFile(path, image);
  const std::string expected = Outcome(Reader::Open(path, true, IndexUse::kInMemory));
  ASSERT_NE(expected, "OK");
  EXPECT_EQ(Outcome(AddHashIndex(path)), expected);
  EXPECT_EQ(ReadFile(path), image);
  EXPECT_EQ(ListDir(dir.path()), "s.vrls");
}

INSTANTIATE_TEST_SUITE_P(Table, AddHashIndexRefusalTest,
                         testing::Values(Refusal{"Empty", [](std::string& f) { f.clear(); }},
                                         Refusal{"Bytes39", [](std::string& f) { f.resize(39); }},
                                         Refusal{"Magic", [](std::string& f) { f[0] = 'P'; }},
                                         Refusal{"Version", [](std::string& f) { f[4] = 9; }},
                                         Refusal{"PayloadByte", [](std::string& f) { f[48] ^= 1; }},
                                         Refusal{"IndexTruncated",
                                                 [](std::string& f) {
                                                   f.resize(f.size() - 3);
                                                   RefreshFileCrc(f);
                                                 }},
                                         Refusal{"NumKeysTooMany",
                                                 [](std::string& f) {
                                                   PutBE32(f, 8, 0xFFFFFFFF);
                                                   RefreshFileCrc(f);
                                                 }},
                                         Refusal{"IndexOffsetMax",
                                                 [](std::string& f) {
                                                   PutBE64(f, 16, ~0ull);
                                                   RefreshFileCrc(f);
                                                 }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AddHashIndexTest, MissingFileAndCancelLeaveNothing) {
  TempDir dir;
  const std::string missing = dir.path() + "/missing.vrls";
  EXPECT_EQ(Outcome(AddHashIndex(missing)), Outcome(Reader::Open(missing, true, IndexUse::kInMemory)));
  const std::string path = dir.path() + "/s.vrls";
  testing_util::WriteFile(path, Plain());
  EXPECT_EQ(Outcome(AddHashIndex(path, [] { return true; })), "cancelled: the caller asked to stop");
  EXPECT_EQ(ReadFile(path), Plain());
  EXPECT_EQ(ListDir(dir.path()), "s.vrls");
}

// Verify through the section finds what Reader::Verify finds, with its
// message, on files whose whole-file CRC has been made to match.
struct VerifyCase {
  const char* name;
  std::function<std::string()> image;
  const char* message;
};

class SectionVerifyTest : public testing::TestWithParam<VerifyCase> {};

TEST_P(SectionVerifyTest, SameMessageAsReader) {
  TempDir dir;
  const std::string path = dir.path() + "/s.vrls";
  testing_util::WriteFile(path, WithSection(GetParam().image()));
  auto indexed = Reader::Open(path, /*verify=*/false);
  auto reader = Reader::Open(path, /*verify=*/false, IndexUse::kInMemory);
  ASSERT_TRUE(indexed.ok() && reader.ok());
  ASSERT_TRUE(indexed.value()->has_hash_index());
  EXPECT_EQ(Outcome(indexed.value()->Verify()), GetParam().message);
  EXPECT_EQ(Outcome(reader.value()->Verify()), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SectionVerifyTest,
    testing::Values(VerifyCase{"Intact", Plain, "OK"},
                    VerifyCase{"PayloadByteFlipped",
                               [] {
                                 std::string f = Plain();
                                 f[55 + 8] ^= 0x20;  // "bravo" -> "brAvo"
                                 RefreshFileCrc(f);
                                 return f;
                               },
                               "corrupt: object CRC32 mismatch at offset 53"},
                    VerifyCase{"RecordRunsPastEnd",
                               [] {
                                 std::string f = Plain();
                                 PutBE32(f, 66, 1 << 20);
                                 RefreshFileCrc(f);
                                 return f;
                               },
                               "corrupt: object at 66 extends beyond file end"},
                    VerifyCase{"OffsetPastEnd",
                               [] {
                                 return AssembleStore({"x"}, {{"a", 40}, {"z", 1u << 20}});
                               },
                               "corrupt: object offset 1048576 out of bounds"},
                    VerifyCase{"SharedRecordCheckedOnce",
                               [] {
                                 return AssembleStore({"x", "y"}, {{"a", 49}, {"b", 40}, {"c", 49}});
                               },
                               "OK"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SectionVerifyTest, StaleFileCrcIsReportedFirst) {
  TempDir dir;
  const std::string path = dir.path() + "/s.vrls";
  std::string image = WithSection(Plain());
  image[48] ^= 1;  // a payload byte, file CRC left as it was
  testing_util::WriteFile(path, image);
  auto indexed = Reader::Open(path, /*verify=*/false);
  auto reader = Reader::Open(path, /*verify=*/false, IndexUse::kInMemory);
  ASSERT_TRUE(indexed.ok() && reader.ok());
  const std::string message = Outcome(indexed.value()->Verify());
  EXPECT_TRUE(message.starts_with("corrupt: file CRC32 mismatch  stored=0x")) << message;
  EXPECT_EQ(message, Outcome(reader.value()->Verify()));
}

}  // namespace
}  // namespace vorl
