#include "core/writer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "core/crc32.h"
#include "core/file.h"
#include "core/format.h"
#include "core/store_layout.h"

namespace vorl {

Status RejectedObject(std::size_t blob_size) {
  if (blob_size > format::kMaxPayloadLength) {
    return Status::Other("object of " + std::to_string(blob_size) +
                         " bytes exceeds the limit of 4294967295 bytes");
  }
  return Status::Other("too many objects: the limit is 4294967295");
}

Status RejectedKey(std::string_view key, std::uint32_t obj_id, std::uint64_t num_objects) {
  if (obj_id >= num_objects) {
    return Status::Other("obj_id " + std::to_string(obj_id) + " out of range (have " +
                         std::to_string(num_objects) + " objects)");
  }
  return Status::Other("key of " + std::to_string(key.size()) + " bytes exceeds the limit of 65535 bytes");
}

Result<std::uint32_t> Writer::AddObject(std::string_view blob) {
  if (Status s = CheckNewObject(blob.size(), object_offsets_.size()); !s.ok()) return s;
  const auto id = static_cast<std::uint32_t>(object_offsets_.size());
  object_offsets_.push_back(records_.size());
  unsigned char* record;
  try {
    record = records_.Extend(format::kRecordHeaderSize + blob.size());
  } catch (...) {
    object_offsets_.pop_back();  // out of memory leaves the writer as it was
    throw;
  }
  format::EncodeRecordHeader(record, static_cast<std::uint32_t>(blob.size()),
                             crc32::Value(blob.data(), blob.size()));
  if (!blob.empty()) std::memcpy(record + format::kRecordHeaderSize, blob.data(), blob.size());
  return id;
}

Status Writer::AddKey(std::string_view key, std::uint32_t obj_id) {
  if (Status s = CheckNewKey(key, obj_id, object_offsets_.size()); !s.ok()) return s;
  return keys_.Put(key, obj_id, on_duplicate_);
}

Result<BuildSummary> Writer::Build(std::string_view path, const BuildOptions& options) const {
  // Everything after the records, and with it both checksums, is laid out
  // in memory before the file is opened: the file is then written front to
  // back in one pass and never patched.
  const std::optional<KeptRecords> kept =
      options.drop_unreachable ? PlanKeptRecords(keys_, object_offsets_, records_.size()) : std::nullopt;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces{{0, records_.size()}};
  if (kept) pieces = kept->pieces;
  std::uint32_t crc = 0;
  for (const auto& [begin, end] : pieces) crc = crc32::Extend(crc, records_.data() + begin, end - begin);
  const std::uint64_t section_size = kept ? kept->size : records_.size();
  const std::uint64_t num_objects = kept ? kept->count : object_offsets_.size();
  std::string index;
  StoreAppender tail(index, format::kDataOffset + section_size, crc);
  Result<format::Header> header =
      AppendIndex(tail, keys_, kept ? std::span<const std::uint64_t>(kept->offsets) : object_offsets_,
                  num_objects, IndexOptions{options.hash_index, options.seed, options.dictionary});
  if (!header.ok()) return std::move(header).status();
  unsigned char header_bytes[format::kHeaderSize];
  format::EncodeHeader(header.value(), header_bytes);

  Result<PendingFile> file = PendingFile::Create(path, options.cancel);
  if (!file.ok()) return std::move(file).status();
  PendingFile& out = file.value();
  Status s = out.Append(header_bytes, sizeof header_bytes);
  for (const auto& [begin, end] : pieces) {
    if (s.ok()) s = out.Append(records_.data() + begin, end - begin);
  }
  if (s.ok()) s = out.Append(index.data(), index.size());
  if (s.ok()) s = out.Commit(options.cancel);
  if (!s.ok()) {
    if (!options.keep_failed_temporary) out.Discard();
    return s;
  }
  return PublishedSummary({std::string(path), num_objects, keys_.size(), tail.position(),
                           header.value().file_crc32, keys_.duplicates()},
                          options.print_summary);
}

}  // namespace vorl
