#include "core/format.h"

#include <algorithm>
#include <string>

namespace vorl::format {

void EncodeHeader(const Header& header, unsigned char out[kHeaderSize]) {
  std::memset(out, 0, kHeaderSize);
  std::copy(std::begin(kMagic), std::end(kMagic), out);
  out[kVersionPos] = kVersion;
  StoreBE32(out + kNumKeysPos, header.num_keys);
  StoreBE32(out + kNumObjectsPos, header.num_objects);
  StoreBE64(out + kIndexOffsetPos, header.index_offset);
  StoreBE64(out + kDataOffsetPos, kDataOffset);
  StoreBE32(out + kFileCrcPos, header.file_crc32);
}

Result<Header> DecodeHeader(const unsigned char* data, std::uint64_t size) {
  if (size < kHeaderSize) return Status::Corrupt("file too small for header");
  if (std::memcmp(data, kMagic, sizeof kMagic) != 0) {
    return Status::Corrupt("bad magic [" + std::to_string(data[0]) + ", " + std::to_string(data[1]) + ", " +
                           std::to_string(data[2]) + ", " + std::to_string(data[3]) + "]");
  }
  if (data[kVersionPos] != kVersion) return Status::UnsupportedVersion(data[kVersionPos]);
  Header header;
  header.num_keys = LoadBE32(data + kNumKeysPos);
  header.num_objects = LoadBE32(data + kNumObjectsPos);
  header.index_offset = LoadBE64(data + kIndexOffsetPos);
  header.file_crc32 = LoadBE32(data + kFileCrcPos);
  return header;
}

}  // namespace vorl::format
