#include "engine/readable_check.h"

#include <cstddef>
#include <cstdint>

#include "core/utf8.h"

namespace vorl::engine {
namespace {

// Deeper nesting is left to the Python check; the reader's own limit is far
// above this, so nothing readable is refused, only checked more slowly.
constexpr int kMaxDepth = 64;

class Scanner {
 public:
  Scanner(const unsigned char* p, std::size_t n) : p_(p), end_(p + n) {}

  // One whole object and nothing after it.
  bool Whole() { return Object(0) && p_ == end_; }

 private:
  bool Object(int depth) {
    if (p_ == end_) return false;
    const unsigned c = *p_++;
    if (c <= 0x7F || c >= 0xE0) return true;  // fixint
    if (c <= 0x8F) return Map(c & 0x0F, depth);
    if (c <= 0x9F) return Array(c & 0x0F, depth);
    if (c <= 0xBF) return Text(c & 0x1F);
    switch (c) {
      case 0xC0:  // nil, false, true
      case 0xC2:
      case 0xC3:
        return true;
      case 0xC4:  // bin 8, 16, 32
        return Skip(Length(1));
      case 0xC5:
        return Skip(Length(2));
      case 0xC6:
        return Skip(Length(4));
      case 0xCA:  // float 32, 64
        return Skip(4);
      case 0xCB:
        return Skip(8);
      case 0xCC:  // uint 8..64
      case 0xD0:  // int 8..64
        return Skip(1);
      case 0xCD:
      case 0xD1:
        return Skip(2);
      case 0xCE:
      case 0xD2:
        return Skip(4);
      case 0xCF:
      case 0xD3:
        return Skip(8);
      case 0xD9:  // str 8, 16, 32
        return Text(Length(1));
      case 0xDA:
        return Text(Length(2));
      case 0xDB:
        return Text(Length(4));
      case 0xDC:  // array 16, 32
        return Array(Length(2), depth);
      case 0xDD:
        return Array(Length(4), depth);
      case 0xDE:  // map 16, 32
        return Map(Length(2), depth);
      case 0xDF:
        return Map(Length(4), depth);
      default:  // 0xC1 (never used) and the extension types
        return false;
    }
  }

  // A big-endian length of `width` bytes, or kBad when the bytes run out.
  static constexpr std::uint64_t kBad = ~std::uint64_t{0};
  std::uint64_t Length(int width) {
    if (end_ - p_ < width) return kBad;
    std::uint64_t n = 0;
    for (int i = 0; i < width; ++i) n = n << 8 | *p_++;
    return n;
  }
  bool Skip(std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(end_ - p_)) return false;  // kBad too
    p_ += n;
    return true;
  }
  bool Text(std::uint64_t n) {
    const unsigned char* start = p_;
    if (!Skip(n)) return false;
    const auto length = static_cast<std::size_t>(n);
    return utf8::ValidPrefix(start, length) == length;
  }
  bool Array(std::uint64_t n, int depth) {
    if (n == kBad || depth >= kMaxDepth) return false;
    // Each element takes at least one byte, so a count past the end fails
    // within as many steps as there are bytes.
    for (std::uint64_t i = 0; i < n; ++i) {
      if (!Object(depth + 1)) return false;
    }
    return true;
  }
  bool Map(std::uint64_t n, int depth) {
    if (n == kBad || depth >= kMaxDepth) return false;
    for (std::uint64_t i = 0; i < n; ++i) {
      // A container key reads back as a list or dict, which cannot be a
      // dict key; extension keys are left to the Python check too.
      if (p_ == end_ || !PlainKey(*p_)) return false;
      if (!Object(depth + 1) || !Object(depth + 1)) return false;
    }
    return true;
  }
  static bool PlainKey(unsigned c) {
    const bool container = (c >= 0x80 && c <= 0x9F) || (c >= 0xDC && c <= 0xDF);
    const bool extension = (c >= 0xC7 && c <= 0xC9) || (c >= 0xD4 && c <= 0xD8);
    return !container && !extension;
  }

  const unsigned char* p_;
  const unsigned char* end_;
};

}  // namespace

bool KnownReadable(std::string_view bytes) {
  return Scanner(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()).Whole();
}

}  // namespace vorl::engine
