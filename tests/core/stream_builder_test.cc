// StreamBuilder against the in-memory Writer: the same adds give the same
// bytes, the hash index opens through Reader, and every way of giving
// up leaves the target as it was and no temporary file behind.
#include "core/stream_builder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/format.h"
#include "core/reader.h"
#include "core/record_recode.h"
#include "core/writer.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::ListDir;
using testing_util::ReadFile;
using testing_util::TempDir;

StreamOptions WithHashIndex(bool on) {
  StreamOptions options;
  options.hash_index = on;
  return options;
}

BuildOptions Quiet(bool hash_index) {
  BuildOptions options;
  options.print_summary = false;
  options.hash_index = hash_index;
  return options;
}

struct Script {
  const char* name;
  std::vector<std::string> objects;
  std::vector<std::pair<std::string, std::uint32_t>> keys;
};

// Adds the script to any builder with the Writer's AddObject/AddKey.
template <typename Builder>
void Play(const Script& script, Builder& b) {
  for (const std::string& blob : script.objects) ASSERT_TRUE(b.AddObject(blob).ok());
  for (const auto& [key, id] : script.keys) ASSERT_TRUE(b.AddKey(key, id).ok());
}

std::vector<Script> Scripts() {
  std::vector<Script> scripts = {
      {"Empty", {}, {}},
      {"ObjectsWithoutKeys", {"a", "", "ccc"}, {}},
      {"Example", {std::string("\x92\x01\x02", 3)}, {{"b", 0}, {"a", 0}}},
      {"LastIdWins", {"x", "y", "z"}, {{"k", 0}, {"j", 1}, {"k", 2}, {"j", 0}}},
      {"BinaryAndPrefixKeys", {"p"}, {{std::string("a\0", 2), 0}, {"a", 0}, {"\xff", 0}, {"", 0}, {"ab", 0}}},
      {"LongestKey", {"v"}, {{std::string(65535, 'k'), 0}, {"short", 0}}},
      {"LargeObject", {std::string(300 << 10, 'o'), "small"}, {{"big", 0}, {"small", 1}}},
      // Records no key reaches between records larger than a copy chunk.
      {"UnreachedBetweenLarge",
       {std::string(300 << 10, 'a'), "gone", std::string(300 << 10, 'b'), "kept", "gone too"},
       {{"a", 0}, {"x", 1}, {"b", 2}, {"x", 3}}},
      // A section longer than a run of the recoding pass: the first run,
      // grown, covers bytes of the next that the pass has not read yet.
      {"LongerThanARun",
       {std::string(3 << 20, 'a'), std::string(3 << 19, 'b'), std::string(3 << 20, 'c')},
       {{"a", 0}, {"b", 1}, {"c", 2}}},
  };
  // More entry bytes than one output chunk, so that the index goes out in
  // several pieces.
  Script many{"ManyKeysAcrossChunks", {}, {}};
  for (int i = 0; i < 4000; ++i) many.objects.push_back("object " + std::to_string(i));
  for (int i = 0; i < 4000; ++i) {
    many.keys.emplace_back("user:" + std::string(80, 'x') + std::to_string(i * 7919 % 4000), i);
  }
  scripts.push_back(std::move(many));
  return scripts;
}

class StreamBuilderScriptTest : public testing::TestWithParam<Script> {
 protected:
  std::string Streamed(bool hash_index) {
    const std::string path = dir_.path() + (hash_index ? "/streamed-hash.vrls" : "/streamed.vrls");
    Result<std::unique_ptr<StreamBuilder>> b = StreamBuilder::Create(path, WithHashIndex(hash_index));
    EXPECT_TRUE(b.ok());
    Play(GetParam(), *b.value());
    Result<BuildSummary> summary = b.value()->Commit();
    EXPECT_TRUE(summary.ok()) << summary.status().ToString();
    EXPECT_EQ(summary.value().objects, GetParam().objects.size());
    EXPECT_EQ(summary.value().bytes, ReadFile(path).size());
    return path;
  }
  std::string Written(bool hash_index) {
    const std::string path = dir_.path() + (hash_index ? "/written-hash.vrls" : "/written.vrls");
    Writer w;
    Play(GetParam(), w);
    EXPECT_TRUE(w.Build(path, Quiet(hash_index)).ok());
    return path;
  }

  TempDir dir_;
};

TEST_P(StreamBuilderScriptTest, WithoutHashIndexEqualsWriterByteForByte) {
  EXPECT_EQ(ReadFile(Streamed(false)), ReadFile(Written(false)));
  EXPECT_EQ(ListDir(dir_.path()), "streamed.vrls written.vrls");
}

// With the section, both builders' files open through it and answer every
// key as the in-memory index of the plain file does.
TEST_P(StreamBuilderScriptTest, WithHashIndexAnswersAsThePlainStore) {
  const std::string plain = ReadFile(Written(false));
  Result<std::unique_ptr<const Reader>> expected =
      Reader::Open(dir_.path() + "/written.vrls", true, IndexUse::kInMemory);
  ASSERT_TRUE(expected.ok());
  for (const std::string& path : {Streamed(true), Written(true)}) {
    SCOPED_TRACE(path);
    const std::string image = ReadFile(path);
    // Everything up to the index end is the plain file's, header CRC aside.
    ASSERT_GE(image.size(), plain.size());
    EXPECT_EQ(image.substr(0, 32), plain.substr(0, 32));
    EXPECT_EQ(image.substr(36, plain.size() - 36), plain.substr(36));
    Result<std::unique_ptr<const Reader>> r = Reader::Open(path);
    ASSERT_TRUE(r.ok()) << r.status().ToString();
    EXPECT_TRUE(r.value()->has_hash_index());
    ASSERT_EQ(r.value()->num_entries(), expected.value()->num_entries());
    for (const auto& [key, id] : GetParam().keys) {
      Result<std::optional<std::uint64_t>> found = r.value()->Find(key);
      ASSERT_TRUE(found.ok());
      EXPECT_EQ(found.value(), expected.value()->Find(key).value());
    }
    EXPECT_EQ(r.value()->Find("absent key").value(), std::nullopt);
  }
}

// Leaving out the objects no key reaches: the streaming builder squeezes its
// file to the very bytes the Writer writes (hash index and its content seed
// included), and every key still reads its own object.
TEST_P(StreamBuilderScriptTest, DroppingUnreachedObjectsEqualsWriter) {
  const Script& script = GetParam();
  std::map<std::string, std::uint32_t> final_ids;
  for (const auto& [key, id] : script.keys) final_ids[key] = id;
  std::set<std::uint32_t> reached;
  for (const auto& [key, id] : final_ids) reached.insert(id);

  const std::string streamed = dir_.path() + "/streamed.vrls";
  StreamOptions stream_options;
  stream_options.drop_unreachable = true;
  auto b = StreamBuilder::Create(streamed, stream_options);
  ASSERT_TRUE(b.ok());
  Play(script, *b.value());
  Result<BuildSummary> summary = b.value()->Commit();
  ASSERT_TRUE(summary.ok()) << summary.status().ToString();
  EXPECT_EQ(summary.value().objects, reached.size());
  EXPECT_EQ(summary.value().duplicates, script.keys.size() - final_ids.size());

  const std::string written = dir_.path() + "/written.vrls";
  Writer w;
  Play(script, w);
  BuildOptions options = Quiet(true);
  options.drop_unreachable = true;
  ASSERT_TRUE(w.Build(written, options).ok());
  EXPECT_EQ(ReadFile(streamed), ReadFile(written));

  Result<std::unique_ptr<const Reader>> r = Reader::Open(streamed, /*verify=*/true);
  ASSERT_TRUE(r.ok()) << r.status().ToString();
  EXPECT_TRUE(r.value()->Verify().ok());
  for (const auto& [key, id] : final_ids) {
    Result<std::optional<std::string_view>> got = r.value()->FindObject(key);
    ASSERT_TRUE(got.ok() && got.value().has_value());
    EXPECT_EQ(*got.value(), script.objects[id]);
  }
}

// Records recoded at the commit: the file is the Writer's for the recoded
// objects, whether they shrink, stay or grow (past a chunk of the pass, so
// that what grows waits for what it covers to be read), with and without
// the squeeze.
TEST_P(StreamBuilderScriptTest, RecodingEqualsWriterOfRecodedObjects) {
  using Change = std::string (*)(std::string_view);
  const std::pair<const char*, Change> changes[] = {
      {"same", [](std::string_view p) { return std::string(p); }},
      {"half", [](std::string_view p) { return std::string(p.substr(0, p.size() / 2)); }},
      {"grown", [](std::string_view p) { return std::string(p) + std::string(p.size() * 3 + 40, 'g'); }},
  };
  for (const auto& [name, change] : changes) {
    for (const bool drop : {false, true}) {
      SCOPED_TRACE(std::string(name) + (drop ? " dropping" : ""));
      Script recoded = GetParam();
      for (std::string& blob : recoded.objects) blob = change(blob);
      const std::string streamed = dir_.path() + "/streamed.vrls";
      StreamOptions stream_options;
      stream_options.drop_unreachable = drop;
      auto b = StreamBuilder::Create(streamed, stream_options);
      ASSERT_TRUE(b.ok());
      Play(GetParam(), *b.value());
      const Recode recode = [change](std::span<const std::string_view> payloads, PayloadBatch& out) {
        for (const std::string_view payload : payloads) out.Add(change(payload));
        return Status();
      };
      Result<BuildSummary> summary = b.value()->Commit({}, recode);
      ASSERT_TRUE(summary.ok()) << summary.status().ToString();
      const std::string written = dir_.path() + "/written.vrls";
      Writer w;
      Play(recoded, w);
      BuildOptions options = Quiet(true);
      options.drop_unreachable = drop;
      ASSERT_TRUE(w.Build(written, options).ok());
      EXPECT_EQ(ReadFile(streamed), ReadFile(written));
      EXPECT_EQ(summary.value().bytes, ReadFile(written).size());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, StreamBuilderScriptTest, testing::ValuesIn(Scripts()),
                         [](const auto& info) { return std::string(info.param.name); });

// A bad add fails with the Writer's message and changes nothing.
struct BadAdd {
  const char* name;
  std::string key;
  std::uint32_t obj_id;
};

class StreamBuilderBadAddTest : public testing::TestWithParam<BadAdd> {};

TEST_P(StreamBuilderBadAddTest, FailsAsWriterAndBuildsTheRest) {
  TempDir dir;
  const std::string path = dir.path() + "/s.vrls";
  Writer w;
  ASSERT_TRUE(w.AddObject("only").ok());
  auto b = StreamBuilder::Create(path, WithHashIndex(false));
  ASSERT_TRUE(b.ok());
  ASSERT_TRUE(b.value()->AddObject("only").ok());
  const Status from_writer = w.AddKey(GetParam().key, GetParam().obj_id);
  const Status from_stream = b.value()->AddKey(GetParam().key, GetParam().obj_id);
  ASSERT_FALSE(from_writer.ok());
  EXPECT_EQ(from_stream.ToString(), from_writer.ToString());
  EXPECT_EQ(b.value()->num_keys(), 0u);
  ASSERT_TRUE(b.value()->AddKey("k", 0).ok());
  ASSERT_TRUE(w.AddKey("k", 0).ok());
  ASSERT_TRUE(b.value()->Commit().ok());
  const std::string written = dir.path() + "/w.vrls";
  ASSERT_TRUE(w.Build(written, Quiet(false)).ok());
  EXPECT_EQ(ReadFile(path), ReadFile(written));
}

INSTANTIATE_TEST_SUITE_P(Table, StreamBuilderBadAddTest,
                         testing::Values(BadAdd{"IdPastLast", "k", 1}, BadAdd{"IdFarOut", "k", 0xFFFFFFFFu},
                                         BadAdd{"KeyTooLong", std::string(65536, 'k'), 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// The duplicate rules, the same in both builders: which object a key added
// twice ends with, how many additions were duplicates, and what kError says.
struct RuleCase {
  const char* name;
  OnDuplicate rule;
  std::string k_object;  // what "k" reads after adding it to objects 0, 1, 1
  std::uint64_t duplicates;
  const char* error;  // the third AddKey's failure, or ""
};

class DuplicateRuleTest : public testing::TestWithParam<RuleCase> {};

TEST_P(DuplicateRuleTest, BothBuildersFollowTheRule) {
  TempDir dir;
  const RuleCase& c = GetParam();
  Writer w(c.rule);
  StreamOptions stream_options;
  stream_options.on_duplicate = c.rule;
  auto b = StreamBuilder::Create(dir.path() + "/s.vrls", stream_options);
  ASSERT_TRUE(b.ok());
  auto play = [&](auto& builder) {
    ASSERT_TRUE(builder.AddObject("zero").ok());
    ASSERT_TRUE(builder.AddObject("one").ok());
    ASSERT_TRUE(builder.AddKey("k", 0).ok());
    const Status second = builder.AddKey("k", 1);
    const Status third = builder.AddKey("k", 1);
    EXPECT_EQ(second.ToString(), third.ToString());
    EXPECT_EQ(third.ok() ? "" : third.ToString(), c.error);
    EXPECT_TRUE(builder.HasKey("k"));
    EXPECT_FALSE(builder.HasKey("j"));
    EXPECT_EQ(builder.duplicates(), c.duplicates);
  };
  play(w);
  play(*b.value());
  ASSERT_TRUE(w.Build(dir.path() + "/w.vrls", Quiet(false)).ok());
  ASSERT_TRUE(b.value()->Commit().ok());
  for (const char* name : {"/w.vrls", "/s.vrls"}) {
    Result<std::unique_ptr<const Reader>> r = Reader::Open(dir.path() + name);
    ASSERT_TRUE(r.ok());
    const auto got = r.value()->FindObject("k").value();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, c.k_object);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, DuplicateRuleTest,
                         testing::Values(RuleCase{"Last", OnDuplicate::kLast, "one", 2, ""},
                                         RuleCase{"First", OnDuplicate::kFirst, "zero", 2, ""},
                                         RuleCase{"Error", OnDuplicate::kError, "zero", 0,
                                                  "other: duplicate key \"k\""}),
                         [](const auto& info) { return std::string(info.param.name); });

// Every way a build can end without publishing: the target keeps its old
// bytes, the temporary file is gone and the builder refuses further calls.
enum class Ending { kDiscard, kDestroy, kCancelAtCommit };

struct EndingCase {
  const char* name;
  Ending ending;
  const char* commit_error;  // what Commit returned, for the cancelled one
};

class StreamBuilderEndingTest : public testing::TestWithParam<EndingCase> {};

TEST_P(StreamBuilderEndingTest, LeavesTargetAndNoTemporaryFile) {
  TempDir dir;
  const std::string target = dir.path() + "/t.vrls";
  testing_util::WriteFile(target, "old contents");
  bool cancel = false;
  StreamOptions options;
  options.cancel = [&] { return cancel; };
  auto b = StreamBuilder::Create(target, options);
  ASSERT_TRUE(b.ok());
  ASSERT_TRUE(b.value()->AddObject("payload").ok());
  ASSERT_TRUE(b.value()->AddKey("k", 0).ok());
  EXPECT_EQ(ListDir(dir.path()), "t.vrls t.vrls.tmp");
  const std::string finished =
      "other: the builder of " + target + " is finished: it was committed, discarded or failed";
  switch (GetParam().ending) {
    case Ending::kDiscard:
      b.value()->Discard();
      break;
    case Ending::kDestroy:
      b.value().reset();
      break;
    case Ending::kCancelAtCommit:
      cancel = true;
      EXPECT_EQ(b.value()->Commit().status().ToString(), GetParam().commit_error);
      break;
  }
  EXPECT_EQ(ListDir(dir.path()), "t.vrls");
  EXPECT_EQ(ReadFile(target), "old contents");
  if (b.value()) {
    EXPECT_TRUE(b.value()->finished());
    EXPECT_EQ(b.value()->AddObject("more").status().ToString(), finished);
    EXPECT_EQ(b.value()->AddKey("k", 0).ToString(), finished);
    EXPECT_EQ(b.value()->Commit().status().ToString(), finished);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, StreamBuilderEndingTest,
                         testing::Values(EndingCase{"Discard", Ending::kDiscard, ""},
                                         EndingCase{"Destroy", Ending::kDestroy, ""},
                                         EndingCase{"CancelAtCommit", Ending::kCancelAtCommit,
                                                    "cancelled: the caller asked to stop"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StreamBuilderTest, CommittedBuilderIsFinishedAndKeepsTheStore) {
  TempDir dir;
  const std::string target = dir.path() + "/t.vrls";
  auto b = StreamBuilder::Create(target);
  ASSERT_TRUE(b.ok());
  ASSERT_TRUE(b.value()->AddObject("payload").ok());
  ASSERT_TRUE(b.value()->Commit().ok());
  const std::string published = ReadFile(target);
  EXPECT_FALSE(b.value()->AddObject("more").ok());
  b.value()->Discard();
  b.value().reset();
  EXPECT_EQ(ListDir(dir.path()), "t.vrls");
  EXPECT_EQ(ReadFile(target), published);
}

// A record of the temporary file that changed under the build is caught by
// its CRC when the commit recodes it; nothing is published.
TEST(StreamBuilderTest, RecodingFindsARecordChangedUnderIt) {
  TempDir dir;
  const std::string target = dir.path() + "/t.vrls";
  auto b = StreamBuilder::Create(target);
  ASSERT_TRUE(b.ok());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(b.value()->AddObject("payload " + std::to_string(i)).ok());
  // One more object, longer than the file's write buffer, sends the others
  // to the file.
  ASSERT_TRUE(b.value()->AddObject(std::string(10'000, 'z')).ok());
  {
    std::fstream tmp(target + ".tmp", std::ios::in | std::ios::out | std::ios::binary);
    tmp.seekp(format::kDataOffset + 2 * format::kRecordHeaderSize + 9 + 3);
    tmp.put('X');
  }
  const Recode same = [](std::span<const std::string_view> payloads, PayloadBatch& out) {
    for (const std::string_view payload : payloads) out.Add(payload);
    return Status();
  };
  EXPECT_EQ(b.value()->Commit({}, same).status().ToString(),
            "corrupt: the record at offset " + std::to_string(format::kDataOffset + 17) +
                " of the temporary file does not match what was written there");
  EXPECT_EQ(ListDir(dir.path()), "");
}

TEST(StreamBuilderTest, MissingDirectoryFailsAtCreate) {
  TempDir dir;
  EXPECT_EQ(StreamBuilder::Create(dir.path() + "/nope/t.vrls").status().ToString(),
            "io: open tmp: errno 2 (No such file or directory)");
  EXPECT_EQ(ListDir(dir.path()), "");
}

}  // namespace
}  // namespace vorl
