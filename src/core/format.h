// The store file layout: header, object records and index entries.
//
//   header (40 bytes) | object records | index entries
//
// Header: "VRLS", version u8 = 2, 3 reserved, num_keys u32, num_objects u32,
// index_offset u64, data_offset u64 (= 40), file_crc32 u32, 4 reserved.
// Object record: length u32, crc32 u32 (of the payload), payload.
// Index entry: key_len u16, key, offset u64 (of the object record).
// Integers are big-endian and nothing is aligned.  file_crc32 covers every
// byte after the header.
#ifndef VORLSTORE_CORE_FORMAT_H_
#define VORLSTORE_CORE_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace vorl::format {

inline constexpr unsigned char kMagic[4] = {'V', 'R', 'L', 'S'};
inline constexpr std::uint8_t kVersion = 2;
inline constexpr std::uint64_t kHeaderSize = 40;

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

}  // namespace vorl::format

#endif  // VORLSTORE_CORE_FORMAT_H_
