#include "core/reader.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "core/coding.h"
#include "core/crc32.h"
#include "core/format.h"

namespace vorl {

Status CheckFileCrc(const unsigned char* data, std::uint64_t size, std::uint32_t stored) {
  const std::uint32_t computed =
      crc32::Value(data + format::kHeaderSize, static_cast<std::size_t>(size - format::kHeaderSize));
  if (computed == stored) return {};
  return Status::Corrupt("file CRC32 mismatch  stored=" + Crc32Text(stored) +
                         "  computed=" + Crc32Text(computed));
}

Result<std::string_view> RecordView(const unsigned char* data, std::uint64_t size, std::uint64_t offset) {
  if (offset > size || size - offset < format::kRecordHeaderSize) {
    return Status::Corrupt("offset " + std::to_string(offset) + " out of bounds");
  }
  const unsigned char* record = data + offset;
  const std::uint32_t length = LoadBE32(record);
  if (length > size - offset - format::kRecordHeaderSize) {
    return Status::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
  }
  return std::string_view(reinterpret_cast<const char*>(record + format::kRecordHeaderSize), length);
}

namespace {

std::string MagicText(const unsigned char* p) {
  return "bad magic [" + std::to_string(p[0]) + ", " + std::to_string(p[1]) + ", " + std::to_string(p[2]) +
         ", " + std::to_string(p[3]) + "]";
}

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
  std::uint64_t p = index_offset;
  for (std::uint32_t n = 0; n < num_keys; ++n) {
    if (p > size || size - p < 2) return Status::Corrupt("index section truncated (key_len)");
    const std::uint64_t key_len = LoadBE16(data + p);
    if (size - p - 2 < key_len + 8) return Status::Corrupt("index section truncated (key + offset)");
    const auto* key = reinterpret_cast<const char*>(data + p + 2);
    Pending& slot = pending[n % kLead];
    if (n >= kLead) index.Add(slot.key, slot.offset, slot.hash);
    slot.key = std::string_view(key, static_cast<std::size_t>(key_len));
    slot.offset = LoadBE64(data + p + 2 + key_len);
    slot.hash = index.Hash(slot.key);
    index.PrefetchHome(slot.hash);
    p += format::kEntryOverhead + key_len;
  }
  for (std::uint32_t n = num_keys < kLead ? 0 : num_keys - kLead; n < num_keys; ++n) {
    const Pending& slot = pending[n % kLead];
    index.Add(slot.key, slot.offset, slot.hash);
  }
  index.ShrinkToFit();
  return {};
}

}  // namespace

std::string Crc32Text(std::uint32_t crc) {
  std::string text = "0x00000000";
  for (std::size_t i = text.size(); i > 2; --i, crc >>= 4) text[i - 1] = "0123456789abcdef"[crc & 0xF];
  return text;
}

Reader::Reader(std::string path, Mapping mapping, const Header& header, KeyIndex index)
    : path_(std::move(path)),
      mapping_(std::move(mapping)),
      num_keys_(header.num_keys),
      num_objects_(header.num_objects),
      index_offset_(header.index_offset),
      file_crc32_(header.file_crc32),
      index_(std::move(index)) {}

Reader::~Reader() = default;

Result<std::unique_ptr<const Reader>> Reader::Open(std::string_view path, bool verify) {
  OpenOutcome opened = OpenFile(path, O_RDONLY);
  if (!opened.fd.valid()) {
    return Status::IO("cannot open " + std::string(path) + ": " + OpenErrorText(opened.error));
  }
  struct stat st {};
  if (::fstat(opened.fd.get(), &st) != 0) return Status::IO("mmap failed: " + SystemErrorText(errno));
  // An empty file maps to nothing and fails the size check below.
  Result<Mapping> mapped = Mapping::Map(opened.fd.get(), static_cast<std::uint64_t>(st.st_size));
  if (!mapped.ok()) return Status::IO("mmap failed: " + mapped.status().message());
  Mapping mapping = std::move(mapped).value();
  const unsigned char* data = mapping.data();
  const std::uint64_t size = mapping.size();

  if (size < format::kHeaderSize) return Status::Corrupt("file too small for header");
  if (std::memcmp(data, format::kMagic, sizeof format::kMagic) != 0) return Status::Corrupt(MagicText(data));
  if (data[format::kVersionPos] != format::kVersion) {
    return Status::UnsupportedVersion(data[format::kVersionPos]);
  }
  Header header;
  header.num_keys = LoadBE32(data + format::kNumKeysPos);
  header.num_objects = LoadBE32(data + format::kNumObjectsPos);
  header.index_offset = LoadBE64(data + format::kIndexOffsetPos);
  header.file_crc32 = LoadBE32(data + format::kFileCrcPos);

  if (verify) {
    if (Status s = CheckFileCrc(data, size, header.file_crc32); !s.ok()) return s;
  }
  KeyIndex index;
  if (Status s = ParseIndex(data, size, header.num_keys, header.index_offset, index); !s.ok()) return s;

  // The descriptor closes when `opened` goes out of scope; the mapping
  // stays valid without it.
  return std::unique_ptr<const Reader>(
      new Reader(std::string(path), std::move(mapping), header, std::move(index)));
}

Result<std::string_view> Reader::ObjectView(std::uint64_t offset) const {
  return RecordView(mapping_.data(), mapping_.size(), offset);
}

Result<std::optional<std::string_view>> Reader::FindObject(std::string_view key) const {
  const std::optional<std::uint64_t> offset = index_.Find(key);
  if (!offset) return std::optional<std::string_view>();
  // The record's length arrives with its first cache line; ask for the next
  // lines now, so that a small payload arrives in one memory round trip
  // instead of two.  The checks keep every address inside the mapping.
  const std::uint64_t size = mapping_.size();
  for (std::uint64_t ahead = kCacheLine; ahead <= 2 * kCacheLine; ahead += kCacheLine) {
    if (*offset < size && size - *offset > ahead) __builtin_prefetch(mapping_.data() + *offset + ahead);
  }
  Result<std::string_view> object = ObjectView(*offset);
  if (!object.ok()) return std::move(object).status();
  return std::optional<std::string_view>(object.value());
}

Result<std::string> Reader::ReadObject(std::uint64_t offset) const {
  Result<std::string_view> view = ObjectView(offset);
  if (!view.ok()) return std::move(view).status();
  return std::string(view.value());
}

Status Reader::Verify() const {
  const unsigned char* data = mapping_.data();
  const std::uint64_t size = mapping_.size();
  if (Status s = CheckFileCrc(data, size, file_crc32_); !s.ok()) return s;
  // Keys that share a record check it once.
  OffsetSet seen(num_entries());
  for (std::size_t i = 0; i < num_entries(); ++i) {
    PrefetchAhead(i, num_entries());
    const std::uint64_t offset = offset_at(i);
    if (!seen.Insert(offset)) continue;
    if (offset > size || size - offset < format::kRecordHeaderSize) {
      return Status::Corrupt("object offset " + std::to_string(offset) + " out of bounds");
    }
    const unsigned char* record = data + offset;
    const std::uint32_t length = LoadBE32(record);
    if (length > size - offset - format::kRecordHeaderSize) {
      return Status::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
    }
    if (crc32::Value(record + format::kRecordHeaderSize, length) != LoadBE32(record + 4)) {
      return Status::Corrupt("object CRC32 mismatch at offset " + std::to_string(offset));
    }
  }
  return {};
}

}  // namespace vorl
