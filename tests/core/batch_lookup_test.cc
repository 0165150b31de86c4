// Batched lookups answer exactly as one FindObject per key, through either
// index, on sound and damaged files.
#include "core/batch_lookup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/coding.h"
#include "core/format.h"
#include "core/reader.h"
#include "section_image.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::AssembleStore;
using testing_util::ProbeKeys;
using testing_util::TempDir;
using testing_util::WithSection;

// `count` objects "value-i" padded to about 100 bytes under keys "key:i",
// built by the writer (so the batch is longer than any prefetch lead).
std::string WriterImage(int count, const std::string& dir) {
  Writer w;
  for (int i = 0; i < count; ++i) {
    const std::uint32_t id = w.AddObject("value-" + std::to_string(i) + std::string(90, 'v')).value();
    EXPECT_TRUE(w.AddKey("key:" + std::to_string(i), id).ok());
  }
  const std::string path = dir + "/writer.vrls";
  EXPECT_TRUE(testing_util::BuildQuietly(w, path).ok());
  return testing_util::ReadFile(path);
}

std::string Outcome(const Status& s) { return s.ok() ? "OK" : s.ToString(); }

// What the batch must give: each key's FindObject in order, up to and
// including the first failure, whose error ends the batch.
void ExpectBatchAsSingles(const Reader& reader, const std::vector<std::string>& keys) {
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  std::vector<std::optional<std::string_view>> got(keys.size());
  const Status batch = reader.FindObjects(views, got);
  Status first_failure;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Result<std::optional<std::string_view>> single = reader.FindObject(keys[i]);
    if (!single.ok()) {
      first_failure = single.status();
      break;
    }
    ASSERT_EQ(got[i], single.value()) << "key " << i << " of " << keys.size();
  }
  EXPECT_EQ(Outcome(batch), Outcome(first_failure));
}

struct StoreCase {
  const char* name;
  // The store image, given a folder for scratch files.
  std::function<std::string(const std::string&)> image;
};

class BatchLookupTest : public testing::TestWithParam<std::tuple<StoreCase, bool>> {
 protected:
  // Opens the case's store, with its section when the second parameter says so.
  std::unique_ptr<const Reader> Open(std::string image) {
    if (std::get<1>(GetParam())) image = WithSection(image);
    const std::string path = dir_.path() + "/store.vrls";
    testing_util::WriteFile(path, image);
    Result<std::unique_ptr<const Reader>> opened = Reader::Open(path, false);
    EXPECT_TRUE(opened.ok()) << opened.status().ToString();
    EXPECT_EQ(opened.value()->has_hash_index(), std::get<1>(GetParam()));
    return std::move(opened).value();
  }
  std::string Image() { return std::get<0>(GetParam()).image(dir_.path()); }

  // The keys to look up in the store at `path`, listed through its
  // in-memory index, which is built from checked entries.
  static std::vector<std::string> Probes(const std::string& path) {
    const auto in_memory = Reader::Open(path, false, IndexUse::kInMemory);
    EXPECT_TRUE(in_memory.ok()) << in_memory.status().ToString();
    return in_memory.ok() ? ProbeKeys(*in_memory.value()) : std::vector<std::string>{};
  }

  TempDir dir_;
};

// Every present key, its neighbours, duplicates and absent keys, in several
// batch shapes: whole, empty, one key, each key twice, reversed.
TEST_P(BatchLookupTest, AnswersAsSingleLookups) {
  const auto reader = Open(Image());
  const std::vector<std::string> probes = Probes(dir_.path() + "/store.vrls");
  const std::vector<std::vector<std::string>> batches = {
      probes,
      {},
      {probes.back()},
      [&] {
        std::vector<std::string> twice = probes;
        twice.insert(twice.end(), probes.begin(), probes.end());
        return twice;
      }(),
      std::vector<std::string>(probes.rbegin(), probes.rend()),
  };
  for (const auto& batch : batches) ExpectBatchAsSingles(*reader, batch);
}

// Each byte flipped in turn, the checksum skipped at open: of the section
// when there is one, else of the object records (the in-memory index is
// built from checked entries).  The batch gives each key's answer or the
// first failing key's error, never a read outside the file.
TEST_P(BatchLookupTest, DamagedFileAnswersAsSingleLookups) {
  const bool with_section = std::get<1>(GetParam());
  const std::string sound = with_section ? WithSection(Image()) : Image();
  const std::uint64_t begin = with_section ? testing_util::SectionOffset(sound) : format::kDataOffset;
  const std::uint64_t end = with_section ? sound.size() : LoadBE64(testing_util::Bytes(sound) + 16);
  const std::string path = dir_.path() + "/damaged.vrls";
  testing_util::WriteFile(path, sound);
  const std::vector<std::string> probes = Probes(path);
  // Of a large image, a sample of about a hundred bytes.
  const std::uint64_t step = end - begin > 4096 ? (end - begin) / 100 + 1 : 1;
  for (std::uint64_t pos = begin; pos < end; pos += step) {
    std::string damaged = sound;
    damaged[pos] ^= 0x5A;
    testing_util::WriteFile(path, damaged);
    Result<std::unique_ptr<const Reader>> reader = Reader::Open(path, false);
    ASSERT_TRUE(reader.ok()) << reader.status().ToString();
    SCOPED_TRACE("byte " + std::to_string(pos));
    ExpectBatchAsSingles(*reader.value(), probes);
  }
}

// A file cut short while open: the lookups read zeros where the pages were,
// and the guard reports the change for the caller that copied from them.
TEST_P(BatchLookupTest, TruncatedUnderTheReaderIsReported) {
  const auto reader = Open(Image());
  const std::string path = dir_.path() + "/store.vrls";
  const std::vector<std::string> probes = Probes(path);
  const std::vector<std::string_view> views(probes.begin(), probes.end());
  std::vector<std::optional<std::string_view>> got(views.size());
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);
  (void)reader->FindObjects(views, got);
  const Status changed = reader->CheckUnchanged();
  if (reader->num_entries() == 0) {
    EXPECT_TRUE(changed.ok()) << "an empty index reads nothing";
    return;
  }
  ASSERT_FALSE(changed.ok());
  EXPECT_TRUE(changed.message().starts_with("file changed while open: offset ")) << changed.message();
}

INSTANTIATE_TEST_SUITE_P(
    Table, BatchLookupTest,
    testing::Combine(
        testing::Values(
            // a and b share an object; e points past the end of the file.
            StoreCase{"SharedAndCorrupt",
                      [](const std::string&) {
                        return AssembleStore({"alpha", "bravo", ""},
                                             {{"a", 40}, {"b", 40}, {"c", 53}, {"d", 66}, {"e", 1u << 20}});
                      }},
            // k three times (the last wins), keys out of order.
            StoreCase{"DuplicatesUnsorted",
                      [](const std::string&) {
                        return AssembleStore({"x", "y", "z"},
                                             {{"k", 40}, {"b", 49}, {"k", 58}, {"a", 49}, {"k", 49}});
                      }},
            StoreCase{"Empty", [](const std::string&) { return AssembleStore({}, {}); }},
            StoreCase{"ThreeThousandKeys", [](const std::string& dir) { return WriterImage(3000, dir); }}),
        testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Section" : "InMemory");
    });

}  // namespace
}  // namespace vorl
