#include "core/store_layout.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/crc32.h"
#include "core/dictionary_section.h"
#include "core/key_sort.h"

namespace vorl {
namespace {

// The entries of a KeyMap in key order, as the section builder reads them.
class SortedEntries final : public IndexEntries {
 public:
  SortedEntries(const KeyMap& keys, const std::vector<std::uint32_t>& order,
                std::span<const std::uint64_t> record_offsets)
      : keys_(keys), order_(order), record_offsets_(record_offsets) {}

  std::size_t size() const override { return order_.size(); }
  std::string_view key(std::size_t i) const override { return keys_.key(order_[i]); }
  std::uint64_t object_offset(std::size_t i) const override {
    return format::kDataOffset + record_offsets_[keys_.id(order_[i])];
  }

 private:
  const KeyMap& keys_;
  const std::vector<std::uint32_t>& order_;
  std::span<const std::uint64_t> record_offsets_;
};

// Entries are encoded into a chunk of this size before they go out; it holds
// the longest entry (65545 bytes), so every entry fits an emptied chunk.
constexpr std::size_t kChunkSize = std::size_t{256} << 10;
static_assert(kChunkSize >= format::kEntryOverhead + format::kMaxKeyLength);

Status AppendEntries(StoreAppender& out, const IndexEntries& entries) {
  std::vector<unsigned char> chunk(kChunkSize);
  std::size_t used = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string_view key = entries.key(i);
    if (kChunkSize - used < format::kEntryOverhead + key.size()) {
      if (Status s = out.Append(chunk.data(), used); !s.ok()) return s;
      used = 0;
    }
    unsigned char* end = format::EncodeEntry(chunk.data() + used, key, entries.object_offset(i));
    used = static_cast<std::size_t>(end - chunk.data());
  }
  return out.Append(chunk.data(), used);
}

}  // namespace

Status StoreAppender::Append(const void* data, std::size_t size) {
  if (size == 0) return {};
  if (file_ == nullptr) {
    memory_->append(static_cast<const char*>(data), size);
  } else if (Status s = file_->Append(data, size); !s.ok()) {
    return s;
  }
  crc_ = crc32::Extend(crc_, data, size);
  position_ += size;
  return {};
}

Status AppendPlaceholderHeader(PendingFile& out) {
  unsigned char bytes[format::kHeaderSize];
  format::EncodeHeader(format::Header{}, bytes);
  return out.Append(bytes, sizeof bytes);
}

Status PatchHeader(PendingFile& out, const format::Header& header) {
  unsigned char bytes[format::kHeaderSize];
  format::EncodeHeader(header, bytes);
  return out.WriteAt(0, bytes, sizeof bytes);
}

std::optional<KeptRecords> PlanKeptRecords(const KeyMap& keys, std::span<const std::uint64_t> record_offsets,
                                           std::uint64_t section_size) {
  std::vector<bool> reached(record_offsets.size(), false);
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (!reached[keys.id(i)]) {
      reached[keys.id(i)] = true;
      ++count;
    }
  }
  if (count == record_offsets.size()) return std::nullopt;
  KeptRecords kept;
  kept.count = count;
  kept.offsets.assign(record_offsets.size(), 0);
  for (std::size_t id = 0; id < record_offsets.size(); ++id) {
    if (!reached[id]) continue;
    const std::uint64_t begin = record_offsets[id];
    const std::uint64_t end = id + 1 < record_offsets.size() ? record_offsets[id + 1] : section_size;
    kept.offsets[id] = kept.size;
    kept.size += end - begin;
    if (!kept.pieces.empty() && kept.pieces.back().second == begin) {
      kept.pieces.back().second = end;
    } else {
      kept.pieces.emplace_back(begin, end);
    }
  }
  return kept;
}

Result<std::uint32_t> CompactRecords(PendingFile& file, const KeptRecords& kept) {
  std::vector<unsigned char> chunk(kChunkSize);
  std::uint32_t crc = 0;
  std::uint64_t to = format::kDataOffset;
  for (const auto& [begin, end] : kept.pieces) {
    // Every piece moves down or stays, so a chunk is read before anything
    // is written over it.
    for (std::uint64_t from = format::kDataOffset + begin; from < format::kDataOffset + end;) {
      const auto n =
          static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, format::kDataOffset + end - from));
      if (Status s = file.ReadAt(from, chunk.data(), n); !s.ok()) return s;
      if (to != from) {
        if (Status s = file.WriteAt(to, chunk.data(), n); !s.ok()) return s;
      }
      crc = crc32::Extend(crc, chunk.data(), n);
      from += n;
      to += n;
    }
  }
  if (Status s = file.Truncate(to); !s.ok()) return s;
  return crc;
}

Status AppendHashSectionTo(StoreAppender& out, const IndexEntries& entries, std::uint64_t index_offset,
                           std::optional<std::uint64_t> seed) {
  Result<HashSectionPlan> plan = PlanHashSection(entries, index_offset);
  if (!plan.ok()) return std::move(plan).status();
  const HashSectionPlan& p = plan.value();
  if (p.index_offset + p.index_length != out.position()) {
    return Status::Internal("index ends at " + std::to_string(p.index_offset + p.index_length) +
                            " but the file at " + std::to_string(out.position()));
  }
  const auto size = static_cast<std::size_t>(p.section_length);
  const std::unique_ptr<unsigned char[]> section = std::make_unique_for_overwrite<unsigned char[]>(size);
  WriteHashSection(entries, p, seed ? *seed : ContentSeed(out.crc(), out.position()),
                   std::span(section.get(), size));
  return out.Append(section.get(), size);
}

Result<format::Header> AppendIndex(StoreAppender& out, const KeyMap& keys,
                                   std::span<const std::uint64_t> record_offsets, std::uint64_t num_objects,
                                   const IndexOptions& options) {
  format::Header header;
  header.num_keys = static_cast<std::uint32_t>(keys.size());
  header.num_objects = static_cast<std::uint32_t>(num_objects);
  header.index_offset = out.position();
  const std::vector<std::uint32_t> order = SortedKeyOrder(keys);
  const SortedEntries entries(keys, order, record_offsets);
  if (Status s = AppendEntries(out, entries); !s.ok()) return s;
  if (options.hash_index) {
    if (Status s = AppendHashSectionTo(out, entries, header.index_offset, options.seed); !s.ok()) return s;
  }
  if (!options.dictionary.empty()) {
    const std::string section = dictionary_section::Encode(options.dictionary, out.position());
    if (Status s = out.Append(section.data(), section.size()); !s.ok()) return s;
  }
  header.file_crc32 = out.crc();
  return header;
}

Status FinishStore(StoreAppender& out, PendingFile& file, const KeyMap& keys,
                   std::span<const std::uint64_t> record_offsets, std::uint64_t num_objects,
                   const IndexOptions& options) {
  Result<format::Header> header = AppendIndex(out, keys, record_offsets, num_objects, options);
  if (!header.ok()) return std::move(header).status();
  return PatchHeader(file, header.value());
}

}  // namespace vorl
