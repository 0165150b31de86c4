#include "core/indexed_reader.h"

#include <cstring>

#include "core/batch_lookup.h"
#include "core/dictionary_section.h"
#include "core/format.h"

namespace vorl {

Result<std::unique_ptr<const IndexedReader>> IndexedReader::Open(std::string_view path, bool verify) {
  // The file is opened, mapped and its header checked exactly as Reader
  // does, so every error keeps its one wording and order.
  Result<Mapping> mapped = MapStoreFile(path);
  if (!mapped.ok()) return std::move(mapped).status();
  Mapping mapping = std::move(mapped).value();
  MappingGuard guard(mapping.data(), mapping.size());
  Result<format::Header> decoded = format::DecodeHeader(mapping.data(), mapping.size());
  if (!decoded.ok()) return std::move(decoded).status();
  const format::Header& header = decoded.value();
  // The hash index section, when there is one, ends where a dictionary starts.
  const std::optional<HashSection> section =
      HashSection::Locate(mapping.data(), dictionary_section::EndBefore(mapping.data(), mapping.size()),
                          {.num_keys = header.num_keys, .index_offset = header.index_offset});
  if (Status g = guard.Check(); !g.ok()) return g;
  if (!section) {
    // No usable section: the in-memory index of Reader, which maps the file
    // again (a file renamed into place meanwhile is read whole, as opened).
    Result<std::unique_ptr<const Reader>> reader = Reader::Open(path, verify);
    if (!reader.ok()) return std::move(reader).status();
    std::unique_ptr<IndexedReader> out(new IndexedReader(std::move(reader).value()));
    if (Status s = out->TakeDictionary(mapping, guard); !s.ok()) return s;
    return std::unique_ptr<const IndexedReader>(std::move(out));
  }
  if (verify) {
    Status s = CheckFileCrc(mapping, header.file_crc32, section->section_offset());
    if (Status g = guard.Check(); !g.ok()) return g;
    if (!s.ok()) return s;
  }
  std::unique_ptr<IndexedReader> out(
      new IndexedReader(std::string(path), std::move(mapping), std::move(guard), header, *section));
  if (Status s = out->TakeDictionary(out->mapping_, out->guard_); !s.ok()) return s;
  return std::unique_ptr<const IndexedReader>(std::move(out));
}

Status IndexedReader::TakeDictionary(const Mapping& mapping, const MappingGuard& guard) {
  Result<std::optional<dictionary_section::Found>> found =
      dictionary_section::Locate(mapping.data(), mapping.size());
  if (found.ok() && found.value()) dictionary_ = std::string(found.value()->dictionary);
  return guard.Overriding(found.status());
}

Status IndexedReader::CheckUnchanged() const {
  return fallback_ ? fallback_->CheckUnchanged() : guard_.Check();
}

Status IndexedReader::Verify() const {
  if (fallback_) return fallback_->Verify();
  Status s = CheckFileCrc(mapping_, header_.file_crc32, mapping_.size());
  if (s.ok()) {
    s = VisitDistinctOffsets(
        section_->num_keys(),
        [&](std::size_t i) -> Result<std::uint64_t> {
          Result<EntryView> entry = section_->Entry(i);
          if (!entry.ok()) return std::move(entry).status();
          return entry.value().object_offset;
        },
        [&](std::uint64_t offset) { return CheckRecordAt(mapping_.data(), mapping_.size(), offset); });
  }
  return guard_.Overriding(std::move(s));
}

std::size_t IndexedReader::num_entries() const {
  return fallback_ ? fallback_->num_entries() : section_->num_keys();
}

Result<EntryView> IndexedReader::Entry(std::size_t i) const {
  if (!fallback_) return section_->Entry(i);
  if (i >= fallback_->num_entries()) {
    return Status::Other("entry " + std::to_string(i) + " out of range (" +
                         std::to_string(fallback_->num_entries()) + " entries)");
  }
  return EntryView{fallback_->key_at(i), fallback_->offset_at(i)};
}

Result<std::optional<std::uint64_t>> IndexedReader::Find(std::string_view key) const {
  if (fallback_) return fallback_->Find(key);
  Result<std::optional<EntryView>> found = section_->Find(key);
  if (!found.ok()) return std::move(found).status();
  if (!found.value()) return std::optional<std::uint64_t>();
  return std::optional<std::uint64_t>(found.value()->object_offset);
}

Result<std::optional<std::string_view>> IndexedReader::FindObject(std::string_view key) const {
  if (fallback_) return fallback_->FindObject(key);
  return vorl::FindObject(*section_, {mapping_.data(), mapping_.size()}, key);
}

Status IndexedReader::FindObjects(std::span<const std::string_view> keys,
                                  std::span<std::optional<std::string_view>> out) const {
  if (fallback_) return fallback_->FindObjects(keys, out);
  return vorl::FindObjects(*section_, {mapping_.data(), mapping_.size()}, keys, out);
}

Result<std::string_view> IndexedReader::ObjectView(std::uint64_t offset) const {
  if (fallback_) return fallback_->ObjectView(offset);
  return RecordView(mapping_.data(), mapping_.size(), offset);
}

template <typename Pred>
Result<std::size_t> IndexedReader::PartitionPoint(std::size_t lo, Pred goes_right) const {
  std::size_t count = num_entries() - lo;
  while (count > 0) {
    const std::size_t step = count / 2;
    Result<EntryView> middle = Entry(lo + step);
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

Result<std::size_t> IndexedReader::LowerBound(std::string_view key) const {
  return PartitionPoint(0, [key](std::string_view k) { return k < key; });
}

Result<std::pair<std::size_t, std::size_t>> IndexedReader::PrefixRange(std::string_view prefix) const {
  Result<std::size_t> first = LowerBound(prefix);
  if (!first.ok()) return std::move(first).status();
  // From the lower bound on, the keys that start with the prefix come first.
  Result<std::size_t> end =
      PartitionPoint(first.value(), [prefix](std::string_view k) { return k.starts_with(prefix); });
  if (!end.ok()) return std::move(end).status();
  return std::pair{first.value(), end.value()};
}

ReaderStats IndexedReader::Stats() const {
  if (fallback_) return fallback_->Stats();
  ReaderStats stats;
  stats.path = path_;
  stats.num_keys = header_.num_keys;
  stats.num_objects = header_.num_objects;
  stats.index_offset = header_.index_offset;
  stats.file_size_kb = static_cast<double>(mapping_.size()) * (1.0 / 1024);
  stats.file_crc32 = Crc32Text(header_.file_crc32);
  return stats;
}

}  // namespace vorl
