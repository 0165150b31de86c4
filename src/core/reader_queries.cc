// The query side of Reader: lookups, prefix scans, listings and statistics.
// Every object read goes through ObjectView, so the bounds checks live in one
// place; the listings are built on VisitEntries / VisitUniqueObjects, the
// same walks the Python layer uses to build its own results.
#include "core/reader.h"

namespace vorl {

Result<std::optional<std::string>> Reader::GetRaw(std::string_view key) const {
  Result<std::optional<std::string_view>> object = FindObject(key);
  if (!object.ok()) return std::move(object).status();
  if (!object.value()) return std::optional<std::string>();
  std::optional<std::string> copy(std::in_place, *object.value());
  if (Status s = CheckUnchanged(); !s.ok()) return s;
  return copy;
}

bool Reader::Exists(std::string_view key) const { return Find(key).has_value(); }

std::pair<std::size_t, std::size_t> Reader::PrefixRange(std::string_view prefix) const {
  const std::size_t n = num_entries();
  if (n == 0) return {0, 0};
  // Lower bound by halving a span that starts at the whole index; the keys
  // are in ascending byte order as the writer laid them out.  string_view
  // compares as unsigned bytes, a proper prefix first.
  std::size_t base = 0;
  std::size_t span = n;
  while (span > 1) {
    const std::size_t half = span / 2;
    const std::size_t middle = base + half;
    if (key_at(middle) < prefix) base = middle;
    span -= half;
  }
  const std::size_t first = key_at(base) < prefix ? base + 1 : base;
  std::size_t end = first;
  while (end < n && key_at(end).starts_with(prefix)) {
    if (n - end > kEntryLead) PrefetchEntry(end + kEntryLead);
    ++end;
  }
  return {first, end};
}

Result<std::vector<KeyedObject>> Reader::PrefixRaw(std::string_view prefix) const {
  const auto [first, end] = PrefixRange(prefix);
  return Pairs(first, end);
}

Result<std::vector<KeyedObject>> Reader::Pairs(std::size_t begin, std::size_t end) const {
  std::vector<KeyedObject> out;
  out.reserve(end - begin);
  Status s = VisitEntries(begin, end, [&](std::size_t i, std::string_view payload) {
    out.push_back({KeyToText(key_at(i)), std::string(payload)});
  });
  if (!s.ok()) return s;
  return out;
}

std::vector<std::string> Reader::Keys() const {
  std::vector<std::string> out;
  out.reserve(num_entries());
  VisitKeys(0, num_entries(),
            [&](std::size_t /*i*/, std::string_view key) { out.push_back(KeyToText(key)); });
  return out;
}

// Each distinct object is read once per call in the sense that matters: a
// pair whose object was seen before costs only the record header check (two
// comparisons and a 4-byte load) before its payload is copied, and that copy
// is owed to every pair anyway, whether it comes from a cache or from the
// mapping.  The mapping is read-only and fixed for the Reader's life, so a
// repeated offset yields the same bytes (or the same error, already met at
// its first entry).  A per-call cache would only add a hash lookup and one
// more copy per distinct object.
Result<std::vector<KeyedObject>> Reader::ItemsRaw() const { return Pairs(0, num_entries()); }

Result<std::vector<std::string>> Reader::ObjectsRaw() const {
  std::vector<std::string> out;
  Status s = VisitUniqueObjects([&](std::string_view payload) { out.emplace_back(payload); });
  if (!s.ok()) return s;
  return out;
}

ReaderStats Reader::Stats() const {
  ReaderStats stats;
  stats.path = path_;
  stats.version = format::kVersion;
  stats.num_keys = num_keys_;
  stats.num_objects = num_objects_;
  stats.index_offset = index_offset_;
  stats.data_offset = format::kDataOffset;
  // Multiplying by the exact power-of-two reciprocal equals dividing by 1024.
  stats.file_size_kb = static_cast<double>(file_size()) * (1.0 / 1024);
  stats.file_crc32 = Crc32Text(file_crc32_);
  return stats;
}

}  // namespace vorl
