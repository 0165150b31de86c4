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

unsigned char* Writer::Bytes::Extend(std::size_t n) {
  if (n > capacity_ - size_) {
    // A quarter more each time: few reallocations, little unused room.
    std::size_t capacity = capacity_ + std::max(capacity_ / 4, std::size_t{4096});
    if (capacity < size_ + n) capacity = size_ + n;
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw AllocationFailure(capacity);
    data_ = static_cast<unsigned char*>(grown);
    capacity_ = capacity;
  }
  unsigned char* end = data_ + size_;
  size_ += n;
  return end;
}

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

std::uint64_t& Writer::SlotFor(std::string_view key, std::uint64_t hash) {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = hash & 0xFFFFFFFF00000000u;
  for (std::size_t i = Home(hash);; i = (i + 1) & mask) {
    std::uint64_t& slot = slots_[i];
    if (slot == 0) return slot;
    if ((slot & 0xFFFFFFFF00000000u) == tag && KeyOf((slot & 0xFFFFFFFFu) - 1) == key) return slot;
  }
}

void Writer::GrowTable() {
  // Power-of-two sizes, at most three quarters full.
  const int bits = slots_.empty() ? 6 : table_bits_ + 1;
  std::vector<std::uint64_t> old(std::size_t{1} << bits, 0);
  slots_.swap(old);
  table_bits_ = bits;
  const std::size_t mask = slots_.size() - 1;
  for (std::uint64_t slot : old) {
    if (slot == 0) continue;
    // The home slot comes from the top bits of the hash, which the slot
    // keeps while the table has at most 2^32 slots; larger tables hash the
    // key again.  Keys are distinct, so the first empty slot is the place.
    std::uint64_t hash = slot;
    if (table_bits_ > 32) {
      const std::string_view key = KeyOf((slot & 0xFFFFFFFFu) - 1);
      hash = HashBytes(hash_key_, key.data(), key.size());
    }
    std::size_t i = Home(hash);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

Status Writer::AddKey(std::string_view key, std::uint32_t obj_id) {
  if (obj_id >= object_offsets_.size()) {
    return Status::Other("obj_id " + std::to_string(obj_id) + " out of range (have " +
                         std::to_string(object_offsets_.size()) + " objects)");
  }
  if (key.size() > format::kMaxKeyLength) {
    return Status::Other("key of " + std::to_string(key.size()) + " bytes exceeds the limit of 65535 bytes");
  }
  if ((key_refs_.size() + 1) * 4 > slots_.size() * 3) GrowTable();
  const std::uint64_t hash = HashBytes(hash_key_, key.data(), key.size());
  std::uint64_t& slot = SlotFor(key, hash);
  if (slot != 0) {
    key_ids_[(slot & 0xFFFFFFFFu) - 1] = obj_id;
    return {};
  }
  // Ids fit in 32 bits and every key needs an object, yet many keys may
  // share one object, so the key count needs its own limit.
  if (key_refs_.size() >= format::kMaxCount) return Status::Other("too many keys: the limit is 4294967295");
  const std::size_t pos = key_bytes_.size();
  if (!key.empty()) std::memcpy(key_bytes_.Extend(key.size()), key.data(), key.size());
  key_ids_.push_back(obj_id);
  try {
    key_refs_.push_back((std::uint64_t{pos} << 16) | key.size());
  } catch (...) {
    key_ids_.pop_back();  // out of memory leaves the writer as it was
    throw;
  }
  slot = (hash & 0xFFFFFFFF00000000u) | key_refs_.size();
  return {};
}

std::string Writer::IndexSection() const {
  std::vector<std::string_view> keys(key_refs_.size());
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    keys[i] = KeyOf(i);
    bytes += format::kEntryOverhead + keys[i].size();
  }
  const std::vector<std::uint32_t> order = SortedKeyOrder(keys);
  std::string index(bytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(index.data());
  for (std::uint32_t entry : order) {
    out = format::EncodeEntry(out, keys[entry], format::kDataOffset + object_offsets_[key_ids_[entry]]);
  }
  return index;
}

Result<BuildSummary> Writer::Build(std::string_view path, const BuildOptions& options) const {
  const std::string index = IndexSection();
  format::Header header;
  header.num_keys = static_cast<std::uint32_t>(key_refs_.size());
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

  BuildSummary summary{std::string(path), object_offsets_.size(), key_refs_.size(), SizeAtPath(path)};
  if (options.print_summary) {
    if (Status printed = PrintSummaryLine(summary); !printed.ok()) return printed;
  }
  return summary;
}

}  // namespace vorl
