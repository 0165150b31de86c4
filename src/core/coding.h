// Integer loads and stores on raw bytes: the only place in the project that
// knows byte order.  The big-endian family encodes and decodes the store
// format; the native-order Load32/Load64 serve code that only compares or
// mixes bytes (hashing, key comparison), where the order does not matter.
// Loads read from any byte position (nothing in the format is aligned);
// callers bounds-check first.
#ifndef VORLSTORE_CORE_CODING_H_
#define VORLSTORE_CORE_CODING_H_

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace vorl {

// The big-endian helpers swap unconditionally, which is right only on a
// little-endian host; a port to another host must change them first.
static_assert(std::endian::native == std::endian::little, "coding.h assumes a little-endian host");

// Native-order unaligned loads.  REQUIRES: p points at 4 or 8 readable bytes.
inline std::uint32_t Load32(const void* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline std::uint64_t Load64(const void* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// REQUIRES: p points at 2, 4 or 8 readable bytes.
inline std::uint16_t LoadBE16(const unsigned char* p) {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap16(v);
}
inline std::uint32_t LoadBE32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap32(v);
}
inline std::uint64_t LoadBE64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_bswap64(v);
}

// A little-endian load, for the checksum, whose reflected register takes the
// first byte in its lowest bits.  REQUIRES: p points at 4 readable bytes.
inline std::uint32_t LoadLE32(const unsigned char* p) {
  static_assert(std::endian::native == std::endian::little, "the byte loads assume a little-endian host");
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// REQUIRES: p points at 2, 4 or 8 writable bytes.
inline void StoreBE16(unsigned char* p, std::uint16_t v) {
  v = __builtin_bswap16(v);
  std::memcpy(p, &v, sizeof v);
}
inline void StoreBE32(unsigned char* p, std::uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof v);
}
inline void StoreBE64(unsigned char* p, std::uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

// Append helpers for buffers the writer grows.
template <typename Buffer>
inline void AppendBE16(Buffer& out, std::uint16_t v) {
  unsigned char b[2];
  StoreBE16(b, v);
  out.insert(out.end(), b, b + sizeof b);
}
template <typename Buffer>
inline void AppendBE32(Buffer& out, std::uint32_t v) {
  unsigned char b[4];
  StoreBE32(b, v);
  out.insert(out.end(), b, b + sizeof b);
}
template <typename Buffer>
inline void AppendBE64(Buffer& out, std::uint64_t v) {
  unsigned char b[8];
  StoreBE64(b, v);
  out.insert(out.end(), b, b + sizeof b);
}

}  // namespace vorl

#endif  // VORLSTORE_CORE_CODING_H_
