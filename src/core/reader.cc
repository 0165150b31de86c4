#include "core/reader.h"

#include <array>

#include "core/batch_lookup.h"
#include "core/dictionary_section.h"

namespace vorl {
namespace {

// Parses `num_keys` index entries starting at `index_offset` into `index`.
// Each bound is checked as "need > size - position" after "position <= size"
// so that no sum can wrap, whatever the header claims.
Status ParseIndex(const unsigned char* data, std::uint64_t size, std::uint32_t num_keys,
                  std::uint64_t index_offset, KeyIndex& index) {
  const std::size_t max_entries = KeyIndex::MaxEntries(num_keys, index_offset, size);
  // For a well-formed file this is exactly the key bytes of the index, what
  // the arena needs if no key is short enough to be stored inline.
  const std::uint64_t room = index_offset < size ? size - index_offset : 0;
  const std::uint64_t key_bytes = std::min<std::uint64_t>(room - format::kEntryOverhead * max_entries,
                                                          format::kMaxKeyLength * max_entries);
  index.Reserve(max_entries, static_cast<std::size_t>(key_bytes));

  // Entries go into the table kLead steps after they are read, so that the
  // table position of each is fetched (PrefetchHome) while the ones before
  // it are added; the additions stay in file order.
  constexpr std::uint32_t kLead = 8;
  struct Pending {
    std::string_view key;
    std::uint64_t offset;
    std::uint64_t hash;
  };
  std::array<Pending, kLead> pending;
  format::Entry entry;
  entry.next = index_offset;
  for (std::uint32_t n = 0; n < num_keys; ++n) {
    if (Status s = format::DecodeEntry(data, size, entry.next, &entry); !s.ok()) return s;
    Pending& slot = pending[n % kLead];
    if (n >= kLead) index.Add(slot.key, slot.offset, slot.hash);
    slot.key = entry.key;
    slot.offset = entry.offset;
    slot.hash = index.Hash(slot.key);
    index.PrefetchHome(slot.hash);
  }
  for (std::uint32_t n = num_keys < kLead ? 0 : num_keys - kLead; n < num_keys; ++n) {
    const Pending& slot = pending[n % kLead];
    index.Add(slot.key, slot.offset, slot.hash);
  }
  index.ShrinkToFit();
  return {};
}

}  // namespace

Reader::~Reader() = default;

Result<std::unique_ptr<const Reader>> Reader::Open(std::string_view path, bool verify, IndexUse use) {
  Result<StoreFile> opened = StoreFile::Open(path);
  if (!opened.ok()) return std::move(opened).status();
  StoreFile file = std::move(opened).value();
  const format::Header& header = file.header();
  std::optional<HashSection> section;
  std::string dictionary;
  if (use == IndexUse::kSectionIfPresent) {
    // The hash index section, when there is one, ends where a dictionary starts.
    section =
        HashSection::Locate(file.bytes().data, dictionary_section::EndBefore(file.bytes().data, file.size()),
                            {.num_keys = header.num_keys, .index_offset = header.index_offset});
    if (Status g = file.CheckUnchanged(); !g.ok()) return g;
  }
  // A fault while the file is read makes the passes below see zeros; the
  // guard's error then takes precedence over whatever they concluded.
  if (verify) {
    Status s = file.CheckCrc(section ? section->section_offset() : header.index_offset);
    if (Status g = file.CheckUnchanged(); !g.ok()) return g;
    if (!s.ok()) return s;
  }
  KeyIndex memory;
  if (!section) {
    Status parsed = ParseIndex(file.bytes().data, file.size(), header.num_keys, header.index_offset, memory);
    if (Status g = file.CheckUnchanged(); !g.ok()) return g;
    if (!parsed.ok()) return parsed;
  }
  if (use == IndexUse::kSectionIfPresent) {
    Result<std::optional<dictionary_section::Found>> found =
        dictionary_section::Locate(file.bytes().data, file.size());
    if (Status s = file.Overriding(found.status()); !s.ok()) return s;
    if (found.value()) dictionary = std::string(found.value()->dictionary);
  }
  return std::unique_ptr<const Reader>(
      new Reader(std::move(file), std::move(memory), section, std::move(dictionary)));
}

Result<EntryView> Reader::Entry(std::size_t i) const {
  if (section_) return section_->Entry(i);
  if (i >= memory_.size()) {
    return Status::Other("entry " + std::to_string(i) + " out of range (" + std::to_string(memory_.size()) +
                         " entries)");
  }
  return EntryView{memory_.key(i), memory_.offset(i)};
}

Result<std::optional<std::uint64_t>> Reader::Find(std::string_view key) const {
  if (!section_) return memory_.Find(key);
  Result<std::optional<EntryView>> found = section_->Find(key);
  if (!found.ok()) return std::move(found).status();
  if (!found.value()) return std::optional<std::uint64_t>();
  return std::optional<std::uint64_t>(found.value()->object_offset);
}

Result<std::optional<std::string_view>> Reader::FindObject(std::string_view key) const {
  if (section_) return vorl::FindObject(*section_, file_.bytes(), key);
  return vorl::FindObject(memory_, file_.bytes(), key);
}

Status Reader::FindObjects(std::span<const std::string_view> keys,
                           std::span<std::optional<std::string_view>> out) const {
  if (section_) return vorl::FindObjects(*section_, file_.bytes(), keys, out);
  return vorl::FindObjects(memory_, file_.bytes(), keys, out);
}

std::size_t Reader::MemoryLowerBound(std::string_view key) const {
  const std::size_t n = memory_.size();
  if (n == 0) return 0;
  // Halving a span that starts at the whole index; the keys are in
  // ascending byte order as the writer laid them out.  string_view compares
  // as unsigned bytes, a proper prefix first.
  std::size_t base = 0;
  std::size_t span = n;
  while (span > 1) {
    const std::size_t half = span / 2;
    const std::size_t middle = base + half;
    if (memory_.key(middle) < key) base = middle;
    span -= half;
  }
  return memory_.key(base) < key ? base + 1 : base;
}

template <typename Pred>
Result<std::size_t> Reader::SectionPartitionPoint(std::size_t lo, Pred goes_right) const {
  std::size_t count = section_->num_keys() - lo;
  while (count > 0) {
    const std::size_t step = count / 2;
    Result<EntryView> middle = section_->Entry(lo + step);
    if (!middle.ok()) return std::move(middle).status();
    if (goes_right(middle.value().key)) {
      lo += step + 1;
      count -= step + 1;
    } else {
      count = step;
    }
  }
  return lo;
}

Result<std::size_t> Reader::LowerBound(std::string_view key) const {
  if (!section_) return MemoryLowerBound(key);
  return SectionPartitionPoint(0, [key](std::string_view k) { return k < key; });
}

Result<std::pair<std::size_t, std::size_t>> Reader::PrefixRange(std::string_view prefix) const {
  if (!section_) {
    // The run is walked: its entries are read next anyway.
    const std::size_t n = memory_.size();
    const std::size_t first = MemoryLowerBound(prefix);
    std::size_t end = first;
    while (end < n && memory_.key(end).starts_with(prefix)) {
      if (n - end > kEntryLead) memory_.Prefetch(end + kEntryLead);
      ++end;
    }
    return std::pair{first, end};
  }
  // Two binary searches, whatever the number of matches, so that a lazy walk
  // over a long run starts at once.
  Result<std::size_t> first = LowerBound(prefix);
  if (!first.ok()) return std::move(first).status();
  Result<std::size_t> end =
      SectionPartitionPoint(first.value(), [prefix](std::string_view k) { return k.starts_with(prefix); });
  if (!end.ok()) return std::move(end).status();
  return std::pair{first.value(), end.value()};
}

Status Reader::Verify() const {
  Status s = file_.CheckCrc(file_.size());
  if (s.ok() && section_) s = section_->CheckAgainstIndex();
  // Keys that share a record check it once.
  if (s.ok()) s = VisitUniqueOffsets([&](std::uint64_t offset) { return file_.CheckRecord(offset); });
  return file_.Overriding(std::move(s));
}

ReaderStats Reader::Stats() const {
  const format::Header& header = file_.header();
  ReaderStats stats;
  stats.path = file_.path();
  stats.num_keys = header.num_keys;
  stats.num_objects = header.num_objects;
  stats.index_offset = header.index_offset;
  stats.file_size = file_.size();
  stats.file_crc32 = header.file_crc32;
  stats.hash_index = has_hash_index();
  return stats;
}

}  // namespace vorl
