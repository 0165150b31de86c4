#include "core/writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/crc32.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::CaptureStdout;
using testing_util::ReadFile;
using testing_util::TempDir;

// The format's example store: one object 92 01 02 under the keys "a" and "b", 73 bytes; docs/format.md
// shows it row by row.  The keys are added out of order: the index sorts them.
TEST(WriterTest, ExampleStoreIsByteExact) {
  TempDir dir;
  Writer w;
  ASSERT_EQ(w.AddObject(std::string("\x92\x01\x02", 3)).value(), 0u);
  ASSERT_TRUE(w.AddKey("b", 0).ok());
  ASSERT_TRUE(w.AddKey("a", 0).ok());
  const std::string path = dir.path() + "/ex.vrls";
  std::string out;
  Status s = CaptureStdout([&] { return w.Build(path).status(); }, &out);
  ASSERT_TRUE(s.ok()) << s.ToString();
  const std::string expected = testing_util::Hex(
      "56524C53 02000000 00000002 00000001 0000000000000033 0000000000000028 CAF0BE65 00000000"
      "00000003 F6C3E5E1 920102"
      "000161 0000000000000028 000162 0000000000000028");
  EXPECT_EQ(ReadFile(path), expected);
  EXPECT_EQ(out, "\u2705  " + path + "  \u2014  1 objects \u00b7 2 keys \u00b7 0.1 KB\n");
}

TEST(WriterTest, EmptyStoreIsHeaderOnly) {
  TempDir dir;
  Writer w;
  const std::string path = dir.path() + "/empty.vrls";
  std::string out;
  ASSERT_TRUE(CaptureStdout([&] { return w.Build(path); }, &out).ok());
  EXPECT_EQ(ReadFile(path), testing_util::Hex("56524C53 02000000 00000000 00000000 0000000000000028"
                                              "0000000000000028 00000000 00000000"));
  EXPECT_EQ(out, "\u2705  " + path + "  \u2014  0 objects \u00b7 0 keys \u00b7 0.0 KB\n");
}

TEST(WriterTest, KeysAreOrderedByUnsignedBytes) {
  TempDir dir;
  Writer w;
  ASSERT_TRUE(w.AddObject("x").ok());
  for (const char* k : {"b", "ab", "a", "z", "\xC3\xA9"}) ASSERT_TRUE(w.AddKey(k, 0).ok());
  ASSERT_TRUE(w.AddKey(std::string("a\0", 2), 0).ok());
  const std::string path = dir.path() + "/order.vrls";
  std::string out;
  ASSERT_TRUE(CaptureStdout([&] { return w.Build(path); }, &out).ok());
  const std::string file = ReadFile(path);
  // Index starts after the header and the one 9-byte record.
  std::string keys;
  for (std::size_t p = 49; p < file.size();) {
    const std::size_t len =
        (static_cast<unsigned char>(file[p]) << 8) | static_cast<unsigned char>(file[p + 1]);
    keys += "[" + file.substr(p + 2, len) + "]";
    p += 10 + len;
  }
  EXPECT_EQ(keys, std::string("[a][a\0][ab][b][z][\xC3\xA9]", 21));
}

TEST(WriterTest, RecordsFollowIdOrderAndDuplicatesKeepLastId) {
  TempDir dir;
  Writer w;
  ASSERT_EQ(w.AddObject("").value(), 0u);       // empty blob: 8-byte record, crc 0
  ASSERT_EQ(w.AddObject("unref").value(), 1u);  // never referenced, still written
  ASSERT_EQ(w.AddObject("zz").value(), 2u);
  ASSERT_TRUE(w.AddKey("k", 0).ok());
  ASSERT_TRUE(w.AddKey("k", 2).ok());
  ASSERT_TRUE(w.AddKey("j", 2).ok());
  EXPECT_EQ(w.num_keys(), 2u);
  EXPECT_EQ(w.num_objects(), 3u);
  const std::string path = dir.path() + "/dup.vrls";
  std::string out;
  ASSERT_TRUE(CaptureStdout([&] { return w.Build(path); }, &out).ok());
  const std::string file = ReadFile(path);
  EXPECT_EQ(file.substr(40, 8), std::string(8, '\0'));
  EXPECT_EQ(file.substr(48, 4), testing_util::Hex("00000005"));
  EXPECT_EQ(file.substr(56, 5), "unref");
  // Object 2 sits at 40 + 8 + 13 = 61; both keys point there.
  const std::string at61 = testing_util::Hex("000000000000003D");
  EXPECT_EQ(file.substr(71), testing_util::Hex("00016A") + at61 + testing_util::Hex("00016B") + at61);
  EXPECT_EQ(file.substr(16, 8), testing_util::Hex("0000000000000047"));  // index_offset 71
  // The file CRC covers everything after the header.
  const std::uint32_t crc = crc32::Value(file.data() + 40, file.size() - 40);
  EXPECT_EQ(file.substr(32, 4), testing_util::Hex(testing_util::HexOf32(crc)));
}

TEST(WriterTest, BuildTwiceGivesIdenticalFilesAndLaterAdditionsAppear) {
  TempDir dir;
  Writer w;
  ASSERT_TRUE(w.AddObject("one").ok());
  ASSERT_TRUE(w.AddKey("1", 0).ok());
  std::string out;
  const std::string a = dir.path() + "/a.vrls", b = dir.path() + "/b.vrls";
  ASSERT_TRUE(CaptureStdout([&] { return w.Build(a); }, &out).ok());
  ASSERT_TRUE(CaptureStdout([&] { return w.Build(b); }, &out).ok());
  EXPECT_EQ(ReadFile(a), ReadFile(b));
  ASSERT_TRUE(w.AddObject("two").ok());
  ASSERT_TRUE(CaptureStdout([&] { return w.Build(b); }, &out).ok());
  EXPECT_NE(ReadFile(b).find("two"), std::string::npos);
}

TEST(WriterTest, AddKeyRejectsUnknownIdsAndOverlongKeys) {
  Writer w;
  Status s = w.AddKey("a", 0);
  EXPECT_EQ(s.ToString(), "other: obj_id 0 out of range (have 0 objects)");
  ASSERT_TRUE(w.AddObject("x").ok());
  ASSERT_TRUE(w.AddObject("y").ok());
  EXPECT_EQ(w.AddKey("a", 2).ToString(), "other: obj_id 2 out of range (have 2 objects)");
  EXPECT_TRUE(w.AddKey("a", 1).ok());
  EXPECT_TRUE(w.AddKey(std::string(65535, 'k'), 0).ok());
  EXPECT_EQ(w.AddKey(std::string(65536, 'k'), 0).ToString(),
            "other: key of 65536 bytes exceeds the limit of 65535 bytes");
  EXPECT_EQ(w.num_keys(), 2u);
}

struct TmpCase {
  const char* target;
  const char* tmp;
};

class TemporaryPathTest : public testing::TestWithParam<TmpCase> {};

TEST_P(TemporaryPathTest, ReplacesTheLastExtension) {
  EXPECT_EQ(TemporaryPathFor(GetParam().target), GetParam().tmp);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TemporaryPathTest,
    testing::Values(TmpCase{"out/data.vrls", "out/data.vrls.tmp"}, TmpCase{"out/data", "out/data.vrls.tmp"},
                    TmpCase{"out/data.bin", "out/data.vrls.tmp"}, TmpCase{"a.tar.gz", "a.tar.vrls.tmp"},
                    TmpCase{".hidden", ".hidden.vrls.tmp"}, TmpCase{"name.", "name.vrls.tmp"},
                    TmpCase{"dir.d/file", "dir.d/file.vrls.tmp"}, TmpCase{"out/data/", "out/data.vrls.tmp"},
                    TmpCase{"out/data.x/.", "out/data.vrls.tmp"}, TmpCase{"", ""}, TmpCase{"/", "/"},
                    TmpCase{".", "."}, TmpCase{"a/..", "a/.."}, TmpCase{"..", ".."}));

// One object under the key "k": the least a build publishes.
void AddOneEntry(Writer& w) {
  ASSERT_TRUE(w.AddObject("payload").ok());
  ASSERT_TRUE(w.AddKey("k", 0).ok());
}

// A directory with something in it: renaming a file onto it fails.
void MakeNonEmptyDirectory(const std::string& path) {
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((path + "/inside").c_str(), 0755), 0);
}

TEST(WriterBuildFailureTest, MissingDirectoryCreatesNothing) {
  TempDir dir;
  Writer w;
  const std::string path = dir.path() + "/nope/data.vrls";
  Status s = w.Build(path).status();
  EXPECT_EQ(s.ToString(), "io: open tmp: errno 2 (No such file or directory)");
  EXPECT_EQ(testing_util::ListDir(dir.path()), "");
}

TEST(WriterBuildFailureTest, RenameOntoDirectoryLeavesCompleteTemporaryFile) {
  TempDir dir;
  Writer w;
  ASSERT_NO_FATAL_FAILURE(AddOneEntry(w));
  const std::string target = dir.path() + "/target.vrls";
  ASSERT_NO_FATAL_FAILURE(MakeNonEmptyDirectory(target));
  Status s = w.Build(target).status();
  EXPECT_EQ(s.ToString(), "io: rename: errno 21 (Is a directory)");
  const std::string tmp = ReadFile(target + ".tmp");
  std::string out;
  const std::string good = dir.path() + "/good.vrls";
  ASSERT_TRUE(CaptureStdout([&] { return w.Build(good); }, &out).ok());
  EXPECT_EQ(tmp, ReadFile(good));
}

TEST(WriterBuildFailureTest, NulInPathIsRejectedBeforeTheSystemCall) {
  Writer w;
  EXPECT_EQ(w.Build(std::string("a\0b.vrls", 8)).status().ToString(),
            "io: open tmp: file name contained an unexpected NUL byte");
}

struct SizeCase {
  std::size_t payload;  // one object, no keys: file = 48 + payload
  const char* shown;
};

class SummarySizeTest : public testing::TestWithParam<SizeCase> {};

TEST_P(SummarySizeTest, RoundsLikePrintf) {
  TempDir dir;
  Writer w;
  ASSERT_TRUE(w.AddObject(std::string(GetParam().payload, 'p')).ok());
  std::string out;
  const std::string path = dir.path() + "/s.vrls";
  ASSERT_TRUE(CaptureStdout([&] { return w.Build(path); }, &out).ok());
  EXPECT_EQ(out,
            "\u2705  " + path + "  \u2014  1 objects \u00b7 0 keys \u00b7 " + GetParam().shown + " KB\n");
}

INSTANTIATE_TEST_SUITE_P(Table, SummarySizeTest,
                         testing::Values(SizeCase{256 - 48, "0.2"}, SizeCase{1024 - 48, "1.0"},
                                         SizeCase{1126 - 48, "1.1"}, SizeCase{1075 - 48, "1.0"}));

// How a failed build leaves its temporary file: kept by default (the
// low-level writer's rule), removed when the caller asks, target untouched.
struct FailedBuildCase {
  const char* name;
  bool cancel;  // else the rename fails: the target is a non-empty directory
  bool keep;
};

class FailedBuildTest : public testing::TestWithParam<FailedBuildCase> {};

TEST_P(FailedBuildTest, TemporaryFileKeptOnlyWhenAsked) {
  TempDir dir;
  Writer w;
  ASSERT_NO_FATAL_FAILURE(AddOneEntry(w));
  const std::string target = dir.path() + "/t.vrls";
  if (GetParam().cancel) {
    testing_util::WriteFile(target, "old");
  } else {
    ASSERT_NO_FATAL_FAILURE(MakeNonEmptyDirectory(target));
  }
  BuildOptions options;
  options.print_summary = false;
  options.keep_failed_temporary = GetParam().keep;
  if (GetParam().cancel) options.cancel = [] { return true; };
  const Status s = w.Build(target, options).status();
  EXPECT_EQ(s.kind(), GetParam().cancel ? ErrorKind::kCancelled : ErrorKind::kIO);
  struct stat st {};
  EXPECT_EQ(::stat((dir.path() + "/t.vrls.tmp").c_str(), &st) == 0, GetParam().keep);
  if (GetParam().cancel) {
    EXPECT_EQ(ReadFile(target), "old");
  }
}

INSTANTIATE_TEST_SUITE_P(Table, FailedBuildTest,
                         testing::Values(FailedBuildCase{"CancelledKept", true, true},
                                         FailedBuildCase{"CancelledRemoved", true, false},
                                         FailedBuildCase{"RenameFailedKept", false, true},
                                         FailedBuildCase{"RenameFailedRemoved", false, false}),
                         [](const testing::TestParamInfo<FailedBuildCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vorl
