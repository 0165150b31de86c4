#include "core/dictionary_section.h"

#include <cstring>

#include "core/coding.h"
#include "core/crc32.h"
#include "core/format.h"

namespace vorl::dictionary_section {
namespace {

constexpr unsigned char kExt8 = 0xC7;
constexpr unsigned char kExt16 = 0xC8;
constexpr unsigned char kExt32 = 0xC9;

}  // namespace

std::string Encode(std::string_view dictionary, std::uint64_t section_offset) {
  unsigned char t[kTrailerSize] = {};
  std::memcpy(t, kMagic, sizeof kMagic);
  t[4] = kVersion;
  t[kCodecPos] = kCodecZstd;
  StoreBE64(t + kSectionOffsetPos, section_offset);
  StoreBE32(t + kDictLengthPos, static_cast<std::uint32_t>(dictionary.size()));
  StoreBE32(t + kDictCrcPos, crc32::Value(dictionary.data(), dictionary.size()));
  StoreBE32(t + kTrailerCrcPos, crc32::Value(t, kTrailerCrcPos));
  std::string out(dictionary);
  out.append(reinterpret_cast<const char*>(t), sizeof t);
  return out;
}

Result<std::optional<Trailer>> DecodeTrailer(const unsigned char* t, std::uint64_t size) {
  if (size < format::kHeaderSize + kTrailerSize || std::memcmp(t, kMagic, sizeof kMagic) != 0) {
    return std::optional<Trailer>();
  }
  const std::uint32_t trailer_crc = crc32::Value(t, kTrailerCrcPos);
  if (trailer_crc != LoadBE32(t + kTrailerCrcPos)) {
    return Status::Corrupt("dictionary trailer CRC mismatch (expected " +
                           std::to_string(LoadBE32(t + kTrailerCrcPos)) + ", found " +
                           std::to_string(trailer_crc) + ")");
  }
  if (t[4] != kVersion || t[kCodecPos] != kCodecZstd || LoadBE16(t + kReservedPos) != 0 ||
      LoadBE32(t + kReserved2Pos) != 0) {
    return Status::Corrupt("dictionary section of version " + std::to_string(t[4]) + ", codec " +
                           std::to_string(t[kCodecPos]) + " is not one this reader knows");
  }
  const Trailer trailer{LoadBE64(t + kSectionOffsetPos), LoadBE32(t + kDictLengthPos), LoadBE32(t + kDictCrcPos)};
  const std::uint64_t trailer_at = size - kTrailerSize;
  if (trailer.section_offset < format::kHeaderSize || trailer.section_offset > trailer_at ||
      trailer_at - trailer.section_offset != trailer.dict_length) {
    return Status::Corrupt("dictionary of " + std::to_string(trailer.dict_length) + " bytes at offset " +
                           std::to_string(trailer.section_offset) + " does not end at the trailer (offset " +
                           std::to_string(trailer_at) + ")");
  }
  return std::optional<Trailer>(trailer);
}

Status CheckDictionary(std::string_view dictionary, const Trailer& trailer) {
  const std::uint32_t crc = crc32::Value(dictionary.data(), dictionary.size());
  if (crc != trailer.dict_crc) {
    return Status::Corrupt("dictionary CRC mismatch (expected " + std::to_string(trailer.dict_crc) + ", found " +
                           std::to_string(crc) + ")");
  }
  return {};
}

Result<std::optional<Found>> Locate(const unsigned char* file, std::uint64_t size) {
  if (size < format::kHeaderSize + kTrailerSize) return std::optional<Found>();
  Result<std::optional<Trailer>> trailer = DecodeTrailer(file + size - kTrailerSize, size);
  if (!trailer.ok()) return std::move(trailer).status();
  if (!trailer.value()) return std::optional<Found>();
  const Trailer& t = *trailer.value();
  const std::string_view dictionary(reinterpret_cast<const char*>(file + t.section_offset), t.dict_length);
  if (Status s = CheckDictionary(dictionary, t); !s.ok()) return s;
  return std::optional<Found>(Found{t.section_offset, dictionary});
}

std::uint64_t EndBefore(const unsigned char* file, std::uint64_t size) {
  Result<std::optional<Found>> found = Locate(file, size);
  if (!found.ok() || !found.value()) return size;
  return found.value()->section_offset;
}

std::size_t EncodeExtHeader(unsigned char* out, std::uint64_t frame_length) {
  const auto type = static_cast<unsigned char>(kExtType);
  if (frame_length <= 0xFF) {
    out[0] = kExt8;
    out[1] = static_cast<unsigned char>(frame_length);
    out[2] = type;
    return 3;
  }
  if (frame_length <= 0xFFFF) {
    out[0] = kExt16;
    StoreBE16(out + 1, static_cast<std::uint16_t>(frame_length));
    out[3] = type;
    return 4;
  }
  out[0] = kExt32;
  StoreBE32(out + 1, static_cast<std::uint32_t>(frame_length));
  out[5] = type;
  return 6;
}

std::optional<std::string_view> FrameOf(std::string_view payload) {
  const auto* p = reinterpret_cast<const unsigned char*>(payload.data());
  const std::size_t n = payload.size();
  std::size_t header;
  std::uint64_t length;
  if (n >= 3 && p[0] == kExt8) {
    header = 3;
    length = p[1];
  } else if (n >= 4 && p[0] == kExt16) {
    header = 4;
    length = LoadBE16(p + 1);
  } else if (n >= 6 && p[0] == kExt32) {
    header = 6;
    length = LoadBE32(p + 1);
  } else {
    return std::nullopt;
  }
  // A record holds one value: an extension that does not fill it exactly is
  // something else (and left to the MessagePack decoder to refuse).
  if (p[header - 1] != static_cast<unsigned char>(kExtType) || length != n - header) return std::nullopt;
  return payload.substr(header);
}

}  // namespace vorl::dictionary_section
