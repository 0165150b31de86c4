// The compression dictionary section and the framing of compressed records:
// the parts of a compressed store that a reader which knows nothing of
// compression skips or reads as ordinary MessagePack.  No codec here; the
// engine's compression unit turns frames into bytes.
//
// The section is the last thing in the file, after the index entries and
// after the hash index section when there is one:
//
//   dictionary    dict_length bytes
//   trailer       kTrailerSize bytes, the last bytes of the file:
//      0  4  magic "VRLZ"
//      4  1  version (1)
//      5  1  codec (1 = zstd)
//      6  2  reserved, zero
//      8  8  section_offset: where the dictionary starts
//     16  4  dict_length
//     20  4  CRC-32 of the dictionary
//     24  4  reserved, zero
//     28  4  CRC-32 of trailer bytes 0..27
//
// Integers are big-endian.  The whole-file CRC covers the section as it
// covers the hash index; the dictionary's own CRC lets a reader opened
// without that check refuse a damaged dictionary instead of decoding with it.
// A hash index section, when present, ends where this one starts.
//
// A compressed record's payload is a MessagePack extension of type
// kExtType (ext 8, 16 or 32, whichever fits) whose data is a zstd frame
// made with the dictionary, with its 4 magic bytes left out and its content
// size in the frame header.  A plain MessagePack decoder reads it as an
// extension value, never as a wrong value of another type.  In a store with
// a dictionary every record of that type is compressed: a writer stores an
// object that is itself such an extension compressed, whatever it saves.
//
// Everything here is stateless and thread-safe.
#ifndef VORLSTORE_CORE_DICTIONARY_SECTION_H_
#define VORLSTORE_CORE_DICTIONARY_SECTION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/status.h"

namespace vorl::dictionary_section {

inline constexpr unsigned char kMagic[4] = {'V', 'R', 'L', 'Z'};
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::uint8_t kCodecZstd = 1;
inline constexpr std::uint64_t kTrailerSize = 32;
inline constexpr std::size_t kCodecPos = 5;
inline constexpr std::size_t kReservedPos = 6;
inline constexpr std::size_t kSectionOffsetPos = 8;
inline constexpr std::size_t kDictLengthPos = 16;
inline constexpr std::size_t kDictCrcPos = 20;
inline constexpr std::size_t kReserved2Pos = 24;
inline constexpr std::size_t kTrailerCrcPos = 28;

// The MessagePack extension type of a compressed record ('Z').
inline constexpr std::int8_t kExtType = 0x5A;
// The magic bytes a zstd frame starts with, which records leave out.
inline constexpr unsigned char kFrameMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
// The longest extension header: ext 32.
inline constexpr std::size_t kMaxExtHeader = 6;

// The dictionary section for `dictionary`, to be appended at file offset
// `section_offset`.
std::string Encode(std::string_view dictionary, std::uint64_t section_offset);

// A dictionary section found at the end of a file.
struct Found {
  std::uint64_t section_offset = 0;
  std::string_view dictionary;  // into the file image
};

// What a trailer states, checked against the file's size but not yet
// against the dictionary it describes.
struct Trailer {
  std::uint64_t section_offset = 0;
  std::uint32_t dict_length = 0;
  std::uint32_t dict_crc = 0;
};

// The trailer in `last`, the last kTrailerSize bytes of a file of `size`
// bytes: no value when they do not hold one, a corrupt error for a damaged
// one.  For readers that hold only the file's end (a store read by ranges).
Result<std::optional<Trailer>> DecodeTrailer(const unsigned char* last, std::uint64_t size);

// The section at the end of [file, file + size): no value when the file
// does not end in one (an uncompressed store), a corrupt error when it ends
// in a damaged one.  O(1) plus the dictionary's CRC.
Result<std::optional<Found>> Locate(const unsigned char* file, std::uint64_t size);

// A corrupt error unless `dictionary` has the CRC its trailer states.
Status CheckDictionary(std::string_view dictionary, const Trailer& trailer);

// Where the sections before the dictionary end: the section's offset when
// the file ends in an intact one, else `size`.
std::uint64_t EndBefore(const unsigned char* file, std::uint64_t size);

// Writes the extension header for a frame of `frame_length` bytes (magic
// left out) and returns its length.  REQUIRES: room for kMaxExtHeader.
std::size_t EncodeExtHeader(unsigned char* out, std::uint64_t frame_length);

// The frame of a compressed record (magic left out), or no value when
// `payload` is not one.  Never reads outside `payload`.
std::optional<std::string_view> FrameOf(std::string_view payload);

}  // namespace vorl::dictionary_section

#endif  // VORLSTORE_CORE_DICTIONARY_SECTION_H_
