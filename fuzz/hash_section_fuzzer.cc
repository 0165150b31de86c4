// libFuzzer target: the hash index section and the Reader that uses it.
//
// The first byte picks the mode:
//   even  the rest is a store file.  When it ends in a trailer with the
//         section's magic, the trailer's own CRC is recomputed first, so that
//         mutations reach the field checks and the slots instead of stopping
//         at the CRC, and the whole-file CRC too, so that Verify reaches
//         its check of the section against the index.  Opened without the
//         whole-file check.
//   odd   the rest is a list of keys (a length byte, then that many bytes;
//         a length of 255 stands for a 65,535-byte key of the next byte,
//         for the first three such lengths):
//         they become an index in the order given, duplicates included, and
//         a section is built for it with a seed from the input.
//
// Besides "no crash, no sanitizer report", the target checks:
//   - opening fails only where the in-memory open fails, with its message,
//     or for a damaged compression dictionary section, which the in-memory
//     open does not read; every later failure is a corrupt error;
//   - without a usable section, every answer is the in-memory index's;
//   - with any section, lookups and entry reads end with an answer or a
//     corrupt error, and ranges stay inside the index;
//   - a section that passes Verify answers exactly as the in-memory index,
//     and so does every section the builder made.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/coding.h"
#include "core/crc32.h"
#include "core/dictionary_section.h"
#include "core/hash_section.h"
#include "core/hash_section_builder.h"
#include "core/reader.h"
#include "fuzz_support.h"
#include "test_util.h"

namespace vorl::fuzz {
namespace {

namespace hs = hash_section;

constexpr std::size_t kMaxProbedEntries = 64;

// A batched lookup answers each key as FindObject does, or, when some key
// fails, fails with the first failing key's error.
void ExpectBatchAgrees(const Reader& r, const std::vector<std::string>& probes) {
  std::vector<std::string_view> keys(probes.begin(), probes.end());
  std::vector<std::optional<std::string_view>> batched(keys.size());
  const Status s = r.FindObjects(keys, batched);
  ExpectCorrupt(s, "FindObjects");
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto single = r.FindObject(keys[i]);
    if (!single.ok()) {
      if (s.ok() || s.ToString() != single.status().ToString())
        Broken("FindObjects missed the first failure");
      return;
    }
    if (s.ok() && batched[i] != single.value())
      Broken("FindObjects differs from FindObject", std::to_string(i));
  }
  if (!s.ok()) Broken("FindObjects failed where every FindObject succeeded", s.ToString());
}

// Every answer is an answer or a corrupt error, inside the index.
void ExerciseSection(const Reader& r, const std::vector<std::string>& probes) {
  const std::size_t n = r.num_entries();
  for (std::size_t i = 0; i < std::min(n, kMaxProbedEntries); ++i) {
    const auto entry = r.Entry(i);
    ExpectCorrupt(entry.status(), "Entry");
    if (!entry.ok()) continue;
    const std::string key(entry.value().key);
    ExpectCorrupt(r.Find(key).status(), "Find");
    ExpectCorrupt(r.FindObject(key).status(), "FindObject");
  }
  for (const std::string& key : probes) {
    ExpectCorrupt(r.FindObject(key).status(), "FindObject probe");
    const auto range = r.PrefixRange(key);
    ExpectCorrupt(range.status(), "PrefixRange");
    if (range.ok() && (range.value().first > range.value().second || range.value().second > n)) {
      Broken("PrefixRange outside the index");
    }
    const auto lower = r.LowerBound(key);
    ExpectCorrupt(lower.status(), "LowerBound");
    if (lower.ok() && lower.value() > n) Broken("LowerBound past the end");
  }
  if (r.Entry(n).ok()) Broken("Entry past the end succeeded");
  ExpectBatchAgrees(r, probes);
}

// Every answer equals the in-memory index's.  Ranges only where the keys are
// sorted: on an unsorted index the two searches legitimately differ.
void ExpectSame(const Reader& r, const Reader& truth, const std::vector<std::string>& probes) {
  if (r.num_entries() != truth.num_entries()) Broken("entry counts differ");
  bool sorted = true;
  for (std::size_t i = 0; i < truth.num_entries(); ++i) {
    const auto entry = r.Entry(i);
    if (!entry.ok() || entry.value() != truth.Entry(i).value()) {
      Broken("entry differs", std::to_string(i));
    }
    if (i > 0 && truth.Entry(i).value().key < truth.Entry(i - 1).value().key) sorted = false;
  }
  for (const std::string& key : probes) {
    const auto found = r.Find(key);
    if (!found.ok() || found.value() != truth.Find(key).value()) Broken("Find differs");
    if (!sorted) continue;
    const auto range = r.PrefixRange(key);
    if (!range.ok() || range.value() != truth.PrefixRange(key).value()) Broken("PrefixRange differs");
  }
}

std::vector<std::string> Probes(const Reader* truth, std::string_view tail) {
  std::vector<std::string> probes = {"", std::string(tail.substr(0, 8)),
                                     std::string(tail.substr(tail.size() / 2))};
  if (truth != nullptr) {
    for (std::size_t i = 0; i < std::min(truth->num_entries(), kMaxProbedEntries); ++i) {
      const std::string key(truth->Entry(i).value().key);
      probes.push_back(key);
      probes.push_back(key.substr(0, key.size() / 2));
    }
  }
  return probes;
}

void FuzzFile(std::string file) {
  if (file.size() >= hs::kTrailerSize && file.compare(file.size() - hs::kTrailerSize, 4, "VRLX") == 0) {
    const std::size_t t = file.size() - hs::kTrailerSize;
    testing_util::PutBE32(file, t + hs::kTrailerCrcPos, crc32::Value(file.data() + t, hs::kTrailerCrcPos));
  }
  if (file.size() >= 40) testing_util::RefreshFileCrc(file);
  testing_util::WriteFile(ScratchPath(), file);
  const auto indexed = Reader::Open(ScratchPath(), false);
  const auto reader = Reader::Open(ScratchPath(), false, IndexUse::kInMemory);
  if (!indexed.ok()) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    const auto dictionary = dictionary_section::Locate(bytes, file.size());
    if (!dictionary.ok() && dictionary.status().ToString() == indexed.status().ToString()) return;
    if (reader.ok() || indexed.status().ToString() != reader.status().ToString()) {
      Broken("open differs from Reader's", indexed.status().ToString());
    }
    return;
  }
  const std::vector<std::string> probes = Probes(reader.ok() ? reader.value().get() : nullptr, file);
  if (!indexed.value()->has_hash_index()) {
    if (!reader.ok()) Broken("fallback opened what Reader refuses");
    ExpectSame(*indexed.value(), *reader.value(), probes);
  } else {
    ExerciseSection(*indexed.value(), probes);
    const Status verified = indexed.value()->Verify();
    ExpectCorrupt(verified, "Verify");
    if (verified.ok()) {
      if (!reader.ok()) Broken("a verified section over an index the in-memory open refuses");
      ExpectSame(*indexed.value(), *reader.value(), probes);
    }
  }
}

class EntryList final : public IndexEntries {
 public:
  explicit EntryList(const std::vector<testing_util::RawEntry>& entries) : entries_(entries) {}
  std::size_t size() const override { return entries_.size(); }
  std::string_view key(std::size_t i) const override { return entries_[i].key; }
  std::uint64_t object_offset(std::size_t i) const override { return entries_[i].offset; }

 private:
  const std::vector<testing_util::RawEntry>& entries_;
};

void FuzzKeys(std::string_view in) {
  std::vector<testing_util::RawEntry> entries;
  std::uint64_t seed = in.size();
  // Long keys cost 64 KiB each; a few cover the widest entries.
  constexpr int kMaxLongKeys = 3;
  int long_keys = 0;
  while (!in.empty()) {
    const auto len = static_cast<unsigned char>(in[0]);
    in.remove_prefix(1);
    std::string key;
    if (len == 255 && long_keys < kMaxLongKeys) {
      ++long_keys;
      key.assign(65535, in.empty() ? 'k' : in[0]);
      in.remove_prefix(std::min<std::size_t>(1, in.size()));
    } else {
      key = std::string(in.substr(0, len));
      in.remove_prefix(key.size());
    }
    seed = seed * 31 + len;
    entries.push_back({std::move(key), 40 + 9 * (entries.size() % 3)});
  }
  std::string file = testing_util::AssembleStore({"a", "b", "c"}, entries);
  const EntryList list(entries);
  const std::uint64_t index_offset = LoadBE64(reinterpret_cast<const unsigned char*>(file.data()) + 16);
  const Status built = AppendHashSection(list, index_offset, seed, file);
  if (!built.ok()) Broken("build failed", built.ToString());
  testing_util::RefreshFileCrc(file);
  testing_util::WriteFile(ScratchPath(), file);
  const auto indexed = Reader::Open(ScratchPath(), true);
  const auto reader = Reader::Open(ScratchPath(), true, IndexUse::kInMemory);
  if (!indexed.ok() || !reader.ok()) Broken("a built store does not open");
  if (!indexed.value()->has_hash_index()) Broken("a built section is not used");
  ExpectSame(*indexed.value(), *reader.value(), Probes(reader.value().get(), ""));
}

}  // namespace
}  // namespace vorl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    vorl::fuzz::FuzzFile(std::string(rest));
  } else {
    vorl::fuzz::FuzzKeys(rest);
  }
  return 0;
}
