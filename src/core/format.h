// The store file layout, and the one codec for it: the header, object
// records and index entries are encoded and decoded here and nowhere else.
//
//   header (40 bytes) | object records | index entries
//
// Header: "VRLS", version u8 = 2, 3 reserved, num_keys u32, num_objects u32,
// index_offset u64, data_offset u64 (= 40), file_crc32 u32, 4 reserved.
// Object record: length u32, crc32 u32 (of the payload), payload.
// Index entry: key_len u16, key, offset u64 (of the object record).
// Integers are big-endian and nothing is aligned.  file_crc32 covers every
// byte after the header.
//
// Decoders take the whole file image and its size and check every bound
// without wrap-around, so they may be given any bytes.  Everything here is
// stateless and thread-safe.
#ifndef VORLSTORE_CORE_FORMAT_H_
#define VORLSTORE_CORE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/coding.h"
#include "core/status.h"

namespace vorl::format {

inline constexpr unsigned char kMagic[4] = {'V', 'R', 'L', 'S'};
inline constexpr std::uint8_t kVersion = 2;
inline constexpr std::uint64_t kHeaderSize = 40;
// The object section always starts right after the header.
inline constexpr std::uint64_t kDataOffset = kHeaderSize;

// Byte positions of the header fields.
inline constexpr std::size_t kVersionPos = 4;
inline constexpr std::size_t kNumKeysPos = 8;
inline constexpr std::size_t kNumObjectsPos = 12;
inline constexpr std::size_t kIndexOffsetPos = 16;
inline constexpr std::size_t kDataOffsetPos = 24;
inline constexpr std::size_t kFileCrcPos = 32;

inline constexpr std::uint64_t kRecordHeaderSize = 8;  // length + crc32
inline constexpr std::uint64_t kEntryOverhead = 10;    // key_len + offset
inline constexpr std::uint64_t kMaxKeyLength = 0xFFFF;
inline constexpr std::uint64_t kMaxPayloadLength = 0xFFFFFFFFu;
inline constexpr std::uint64_t kMaxCount = 0xFFFFFFFFu;

// The header fields a reader uses.  The version and data_offset are
// constants of the format, so they are not carried.
struct Header {
  std::uint32_t num_keys = 0;
  std::uint32_t num_objects = 0;
  std::uint64_t index_offset = kHeaderSize;
  std::uint32_t file_crc32 = 0;
};

// The 40 header bytes for `header`; reserved bytes are zero.
void EncodeHeader(const Header& header, unsigned char out[kHeaderSize]);

// Checks the file's length, magic and version, in this order, and reads the
// header.  `data` holds the `size` bytes of the whole file (null when size
// is 0).  The reserved bytes and data_offset are not read.
Result<Header> DecodeHeader(const unsigned char* data, std::uint64_t size);

// The 8 bytes that precede a payload of `length` bytes whose CRC-32 is `crc`.
inline void EncodeRecordHeader(unsigned char* out, std::uint32_t length, std::uint32_t crc) {
  StoreBE32(out, length);
  StoreBE32(out + 4, crc);
}

// Where the record at `offset` of a `size`-byte file stands.
enum class RecordBounds : std::uint8_t {
  kInside,          // length, crc32 and payload all lie in the file
  kHeaderPastEnd,   // the 8-byte record header does not fit
  kPayloadPastEnd,  // the payload runs past the end of the file
};

struct Record {
  RecordBounds bounds = RecordBounds::kHeaderPastEnd;
  const unsigned char* payload = nullptr;  // valid when bounds == kInside
  std::uint32_t length = 0;
  std::uint32_t crc32 = 0;
};

// The CRC-32 stored for the record whose payload starts at `payload`.
// REQUIRES: the payload came from a bounds-checked record read (DecodeRecord
// or a reader's record view), so its record header precedes it in the
// same image.
inline std::uint32_t StoredPayloadCrc(const unsigned char* payload) {
  return LoadBE32(payload - kRecordHeaderSize + 4);
}

inline Record DecodeRecord(const unsigned char* data, std::uint64_t size, std::uint64_t offset) {
  Record r;
  if (offset > size || size - offset < kRecordHeaderSize) return r;
  const unsigned char* p = data + offset;
  r.length = LoadBE32(p);
  if (r.length > size - offset - kRecordHeaderSize) {
    r.bounds = RecordBounds::kPayloadPastEnd;
    return r;
  }
  r.bounds = RecordBounds::kInside;
  r.crc32 = LoadBE32(p + 4);
  r.payload = p + kRecordHeaderSize;
  return r;
}

// Writes the entry for `key` -> `offset` at `out` and returns the byte after
// it.  REQUIRES: key.size() <= kMaxKeyLength; room for kEntryOverhead +
// key.size() bytes.
inline unsigned char* EncodeEntry(unsigned char* out, std::string_view key, std::uint64_t offset) {
  StoreBE16(out, static_cast<std::uint16_t>(key.size()));
  if (!key.empty()) std::memcpy(out + 2, key.data(), key.size());
  StoreBE64(out + 2 + key.size(), offset);
  return out + kEntryOverhead + key.size();
}

struct Entry {
  std::string_view key;  // points into the file image
  std::uint64_t offset = 0;
  std::uint64_t next = 0;  // where the following entry starts
};

// Decodes the entry at `pos` into *entry, or fails (corrupt) naming the
// field that runs past the end.  Inline: it runs once per key at open.
inline Status DecodeEntry(const unsigned char* data, std::uint64_t size, std::uint64_t pos, Entry* entry) {
  if (pos > size || size - pos < 2) return Status::Corrupt("index section truncated (key_len)");
  const std::uint64_t key_len = LoadBE16(data + pos);
  if (size - pos - 2 < key_len + 8) return Status::Corrupt("index section truncated (key + offset)");
  entry->key =
      std::string_view(reinterpret_cast<const char*>(data + pos + 2), static_cast<std::size_t>(key_len));
  entry->offset = LoadBE64(data + pos + 2 + key_len);
  entry->next = pos + kEntryOverhead + key_len;
  return {};
}

}  // namespace vorl::format

#endif  // VORLSTORE_CORE_FORMAT_H_
