#include "core/writer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "core/crc32.h"
#include "core/file.h"
#include "core/format.h"
#include "core/key_sort.h"

namespace vorl {

Result<std::uint32_t> Writer::AddObject(std::string_view blob) {
  if (blob.size() > format::kMaxPayloadLength) {
    return Status::Other("object of " + std::to_string(blob.size()) +
                         " bytes exceeds the limit of 4294967295 bytes");
  }
  if (object_offsets_.size() >= format::kMaxCount) {
    return Status::Other("too many objects: the limit is 4294967295");
  }
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
  if (obj_id >= object_offsets_.size()) {
    return Status::Other("obj_id " + std::to_string(obj_id) + " out of range (have " +
                         std::to_string(object_offsets_.size()) + " objects)");
  }
  if (key.size() > format::kMaxKeyLength) {
    return Status::Other("key of " + std::to_string(key.size()) + " bytes exceeds the limit of 65535 bytes");
  }
  return keys_.Put(key, obj_id);
}

std::string Writer::IndexSection() const {
  std::vector<std::string_view> keys(keys_.size());
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    keys[i] = keys_.key(i);
    bytes += format::kEntryOverhead + keys[i].size();
  }
  const std::vector<std::uint32_t> order = SortedKeyOrder(keys);
  std::string index(bytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(index.data());
  for (std::uint32_t entry : order) {
    out = format::EncodeEntry(out, keys[entry], format::kDataOffset + object_offsets_[keys_.id(entry)]);
  }
  return index;
}

Result<BuildSummary> Writer::Build(std::string_view path, const BuildOptions& options) const {
  const std::string index = IndexSection();
  format::Header header;
  header.num_keys = static_cast<std::uint32_t>(keys_.size());
  header.num_objects = static_cast<std::uint32_t>(object_offsets_.size());
  header.index_offset = format::kDataOffset + records_.size();
  header.file_crc32 =
      crc32::Extend(crc32::Value(records_.data(), records_.size()), index.data(), index.size());
  unsigned char header_bytes[format::kHeaderSize];
  format::EncodeHeader(header, header_bytes);

  Result<PendingFile> file = PendingFile::Create(path, options.cancel);
  if (!file.ok()) return std::move(file).status();
  PendingFile& out = file.value();
  Status s = out.Append(header_bytes, sizeof header_bytes);
  if (s.ok()) s = out.Append(records_.data(), records_.size());
  if (s.ok()) s = out.Append(index.data(), index.size());
  if (s.ok()) s = out.Commit(options.cancel);
  if (!s.ok()) return s;

  BuildSummary summary{std::string(path), object_offsets_.size(), keys_.size(), SizeAtPath(path)};
  if (options.print_summary) {
    if (Status printed = PrintSummaryLine(summary); !printed.ok()) return printed;
  }
  return summary;
}

}  // namespace vorl
