// IndexedReader: the same errors and answers as Reader, with and without a
// hash index section.
#include "core/indexed_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "section_image.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::AssembleStore;
using testing_util::PutBE32;
using testing_util::PutBE64;
using testing_util::RawEntry;
using testing_util::RefreshFileCrc;
using testing_util::TempDir;
using testing_util::WithSection;

// Objects "alpha" @40, "bravo" @53 and "" @66; keys a, b -> @40, c -> @53,
// d -> @66, e -> past the end of the file.
std::string Standard() {
  return AssembleStore({"alpha", "bravo", ""}, {{"a", 40}, {"b", 40}, {"c", 53}, {"d", 66}, {"e", 1u << 20}});
}

class IndexedReaderTest : public testing::Test {
 protected:
  std::string Save(const std::string& image) {
    const std::string path = dir_.path() + "/store" + std::to_string(++files_) + ".vrls";
    testing_util::WriteFile(path, image);
    return path;
  }
  static std::string Outcome(const auto& r) { return r.ok() ? std::string("OK") : r.status().ToString(); }

  TempDir dir_;
  int files_ = 0;
};

struct OpenCase {
  const char* name;
  std::function<void(std::string&)> damage;
  bool with_section;
};

class IndexedOpenTest : public IndexedReaderTest, public testing::WithParamInterface<OpenCase> {};

// Whatever the damage, opening gives Reader's outcome, word for word.
TEST_P(IndexedOpenTest, FailsAsReaderDoes) {
  std::string image = GetParam().with_section ? WithSection(Standard()) : Standard();
  GetParam().damage(image);
  const std::string path = Save(image);
  for (bool verify : {true, false}) {
    EXPECT_EQ(Outcome(IndexedReader::Open(path, verify)), Outcome(Reader::Open(path, verify)))
        << "verify=" << verify;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, IndexedOpenTest,
    testing::Values(OpenCase{"Intact", [](std::string&) {}, false},
                    OpenCase{"IntactWithSection", [](std::string&) {}, true},
                    OpenCase{"Empty", [](std::string& f) { f.clear(); }, false},
                    OpenCase{"Bytes39", [](std::string& f) { f.resize(39); }, true},
                    OpenCase{"Magic", [](std::string& f) { f[0] = 'P'; }, true},
                    OpenCase{"Version3", [](std::string& f) { f[4] = 3; }, true},
                    OpenCase{"PayloadByte", [](std::string& f) { f[48] ^= 1; }, true},
                    OpenCase{"SectionByte", [](std::string& f) { f[f.size() - 80] ^= 1; }, true},
                    OpenCase{"TrailerByte", [](std::string& f) { f[f.size() - 1] ^= 1; }, true},
                    OpenCase{"IndexTruncated", [](std::string& f) { f.resize(f.size() - 3); }, false},
                    OpenCase{"NumKeysTooMany", [](std::string& f) { PutBE32(f, 8, 0xFFFFFFFF); }, true},
                    OpenCase{"IndexOffsetMax", [](std::string& f) { PutBE64(f, 16, ~0ull); }, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(IndexedReaderTest, MissingFileFailsAsReaderDoes) {
  const std::string path = dir_.path() + "/missing.vrls";
  EXPECT_EQ(Outcome(IndexedReader::Open(path)), Outcome(Reader::Open(path)));
  EXPECT_EQ(Outcome(IndexedReader::Open(std::string("a\0b", 3))),
            Outcome(Reader::Open(std::string("a\0b", 3))));
}

// Object reads fail with Reader's messages in both modes.
TEST_F(IndexedReaderTest, ObjectErrorsMatchInBothModes) {
  for (bool with_section : {false, true}) {
    const std::string path = Save(with_section ? WithSection(Standard()) : Standard());
    auto indexed = IndexedReader::Open(path);
    auto reader = Reader::Open(path);
    ASSERT_TRUE(indexed.ok() && reader.ok());
    EXPECT_EQ(indexed.value()->has_hash_index(), with_section);
    for (const char* key : {"a", "c", "d", "e", "zz"}) {
      const auto got = indexed.value()->FindObject(key);
      const auto want = reader.value()->FindObject(key);
      ASSERT_EQ(Outcome(got), Outcome(want)) << key;
      if (got.ok()) {
        EXPECT_EQ(got.value(), want.value()) << key;
      }
    }
    EXPECT_EQ(Outcome(indexed.value()->FindObject("e")), "corrupt: offset 1048576 out of bounds");
    for (std::uint64_t offset : {0ull, 66ull, ~0ull}) {
      EXPECT_EQ(Outcome(indexed.value()->ObjectView(offset)), Outcome(reader.value()->ObjectView(offset)));
    }
    const auto past = indexed.value()->Entry(5);
    ASSERT_FALSE(past.ok());
    EXPECT_EQ(past.status().kind(), ErrorKind::kOther);
    const ReaderStats a = indexed.value()->Stats(), b = reader.value()->Stats();
    EXPECT_EQ(std::tie(a.path, a.num_keys, a.num_objects, a.index_offset, a.file_size_kb, a.file_crc32),
              std::tie(b.path, b.num_keys, b.num_objects, b.index_offset, b.file_size_kb, b.file_crc32));
  }
}

// An unsorted index breaks the binary searches exactly as it breaks
// Reader's prefix scan; duplicate keys resolve to the last entry.
TEST_F(IndexedReaderTest, DuplicatesAndUnsortedKeysAsTheInMemoryIndex) {
  const std::string image =
      AssembleStore({"x", "y", "z"}, {{"k", 40}, {"b", 49}, {"k", 58}, {"a", 49}, {"k", 49}});
  const std::string path = Save(WithSection(image));
  auto indexed = IndexedReader::Open(path);
  auto reader = Reader::Open(path);
  ASSERT_TRUE(indexed.ok() && reader.ok());
  ASSERT_TRUE(indexed.value()->has_hash_index());
  for (const char* key : {"k", "a", "b", "c"}) {
    EXPECT_EQ(indexed.value()->Find(key).value(), reader.value()->Find(key)) << key;
  }
  EXPECT_EQ(indexed.value()->Find("k").value(), 49u);
}

}  // namespace
}  // namespace vorl
