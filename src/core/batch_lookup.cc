#include "core/batch_lookup.h"

#include <cstddef>
#include <vector>

#include "core/store_file.h"

namespace vorl {
namespace {

// How many keys ahead of the one being resolved a batch starts loading its
// slots, and its entry and record.  The slots must have arrived when the
// second step reads them, and the entry and record when the key is
// resolved; a memory access takes about as long as resolving 6-10 keys
// whose bytes are in cache.  Measured on data set A (bench/core_bench.cc,
// batch/find_objects): shorter leads leave misses exposed, longer ones let
// early lines be evicted before use on a busy cache.
constexpr std::size_t kSlotLead = 16;
constexpr std::size_t kTargetLead = 8;
static_assert(kTargetLead < kSlotLead);

constexpr std::uint64_t kCacheLine = 64;

// Starts loading the lines a record at `offset` of up to about two lines
// occupies after its first, which the record's own read asks for.  Checked
// so that every address lies inside the file.
[[gnu::always_inline]] inline void PrefetchRecordTail(MappedBytes file, std::uint64_t offset) {
  for (std::uint64_t ahead = kCacheLine; ahead <= 2 * kCacheLine; ahead += kCacheLine) {
    if (offset < file.size && file.size - offset > ahead) __builtin_prefetch(file.data + offset + ahead);
  }
}

// The object of the record at `offset`, bounds-checked.
Result<std::optional<std::string_view>> ObjectAt(MappedBytes file, std::uint64_t offset) {
  PrefetchRecordTail(file, offset);
  Result<std::string_view> object = RecordView(file, offset);
  if (!object.ok()) return std::move(object).status();
  return std::optional<std::string_view>(object.value());
}

// The steps of one lookup in the in-memory index: the table position
// holds the entry itself, so the second step reads the offset and asks
// for the record.
class IndexStages {
 public:
  IndexStages(const KeyIndex& index, MappedBytes file) : index_(index), file_(file) {}

  std::uint64_t Hash(std::string_view key) const { return index_.Hash(key); }
  [[gnu::always_inline]] void PrefetchSlots(std::uint64_t hash) const { index_.PrefetchProbe(hash); }
  [[gnu::always_inline]] void PrefetchTarget(std::string_view key, std::uint64_t hash) const {
    const std::optional<std::uint64_t> offset = index_.Find(key, hash);
    if (offset && *offset < file_.size) {
      __builtin_prefetch(file_.data + *offset);
      PrefetchRecordTail(file_, *offset);
    }
  }
  Result<std::optional<std::string_view>> Resolve(std::string_view key, std::uint64_t hash) const {
    const std::optional<std::uint64_t> offset = index_.Find(key, hash);
    if (!offset) return std::optional<std::string_view>();
    return ObjectAt(file_, *offset);
  }

 private:
  const KeyIndex& index_;
  MappedBytes file_;
};

// The steps of one lookup through the on-disk section: slots, then the
// entry and the record the slot hints at, then the checked read of both.
class SectionStages {
 public:
  SectionStages(const HashSection& section, MappedBytes file) : section_(section), file_(file) {}

  std::uint64_t Hash(std::string_view key) const { return section_.Hash(key); }
  [[gnu::always_inline]] void PrefetchSlots(std::uint64_t hash) const { section_.PrefetchSlots(hash); }
  [[gnu::always_inline]] void PrefetchTarget(std::string_view, std::uint64_t hash) const {
    section_.PrefetchCandidate(hash);
  }
  Result<std::optional<std::string_view>> Resolve(std::string_view key, std::uint64_t hash) const {
    Result<std::optional<EntryView>> found = section_.Find(key, hash);
    if (!found.ok()) return std::move(found).status();
    if (!found.value()) return std::optional<std::string_view>();
    return ObjectAt(file_, found.value()->object_offset);
  }

 private:
  const HashSection& section_;
  MappedBytes file_;
};

// One pass over the keys: step j starts the slots of key j, the entry and
// record of key j - (kSlotLead - kTargetLead) and resolves key j -
// kSlotLead, so every key gets every step, the first ones included.
template <typename Stages>
Status Walk(const Stages& stages, std::span<const std::string_view> keys,
            std::span<std::optional<std::string_view>> out) {
  const std::size_t n = keys.size();
  std::vector<std::uint64_t> hashes(n);
  for (std::size_t i = 0; i < n; ++i) hashes[i] = stages.Hash(keys[i]);
  constexpr std::size_t kGap = kSlotLead - kTargetLead;
  for (std::size_t j = 0; j < n + kSlotLead; ++j) {
    if (j < n) stages.PrefetchSlots(hashes[j]);
    if (j >= kGap && j - kGap < n) stages.PrefetchTarget(keys[j - kGap], hashes[j - kGap]);
    if (j < kSlotLead) continue;
    const std::size_t i = j - kSlotLead;
    Result<std::optional<std::string_view>> object = stages.Resolve(keys[i], hashes[i]);
    if (!object.ok()) return std::move(object).status();
    out[i] = object.value();
  }
  return {};
}

}  // namespace

Result<std::optional<std::string_view>> FindObject(const KeyIndex& index, MappedBytes file,
                                                   std::string_view key) {
  if (index.empty()) return std::optional<std::string_view>();
  const IndexStages stages(index, file);
  return stages.Resolve(key, stages.Hash(key));
}

Result<std::optional<std::string_view>> FindObject(const HashSection& section, MappedBytes file,
                                                   std::string_view key) {
  const SectionStages stages(section, file);
  return stages.Resolve(key, stages.Hash(key));
}

Status FindObjects(const KeyIndex& index, MappedBytes file, std::span<const std::string_view> keys,
                   std::span<std::optional<std::string_view>> out) {
  return Walk(IndexStages(index, file), keys, out);
}

Status FindObjects(const HashSection& section, MappedBytes file, std::span<const std::string_view> keys,
                   std::span<std::optional<std::string_view>> out) {
  return Walk(SectionStages(section, file), keys, out);
}

}  // namespace vorl
