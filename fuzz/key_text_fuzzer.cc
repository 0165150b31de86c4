// libFuzzer target: KeyToText on arbitrary bytes against a second decoder
// written from the table of well-formed UTF-8 byte sequences.
//
// At each position the reference decoder matches the bytes against every
// row of the table; a full match is one character, copied.  Otherwise the
// longest partial match (at least the one byte) is a maximal subpart, and
// becomes one U+FFFD.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/key_text.h"

namespace {

struct Range {
  unsigned char low, high;
};
struct Row {
  int length;
  Range bytes[4];
};

// Well-formed UTF-8 byte sequences, one row per lead-byte range.
constexpr Row kRows[] = {
    {1, {{0x00, 0x7F}}},
    {2, {{0xC2, 0xDF}, {0x80, 0xBF}}},
    {3, {{0xE0, 0xE0}, {0xA0, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xE1, 0xEC}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {3, {{0xED, 0xED}, {0x80, 0x9F}, {0x80, 0xBF}}},
    {3, {{0xEE, 0xEF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF0, 0xF0}, {0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF1, 0xF3}, {0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {4, {{0xF4, 0xF4}, {0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}},
};

std::string Reference(std::string_view in) {
  std::string out;
  std::size_t i = 0;
  while (i < in.size()) {
    int longest = 0;
    bool whole = false;
    for (const Row& row : kRows) {
      int matched = 0;
      while (matched < row.length && i + static_cast<std::size_t>(matched) < in.size()) {
        const auto b = static_cast<unsigned char>(in[i + static_cast<std::size_t>(matched)]);
        if (b < row.bytes[matched].low || b > row.bytes[matched].high) break;
        ++matched;
      }
      if (matched == row.length) whole = true;
      longest = std::max(longest, matched);
    }
    if (whole) {
      out.append(in.substr(i, static_cast<std::size_t>(longest)));
    } else {
      out.append("\xEF\xBF\xBD");
      longest = std::max(longest, 1);
    }
    i += static_cast<std::size_t>(longest);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const std::string got = vorl::KeyToText(in);
  const std::string want = Reference(in);
  if (got != want) {
    std::fprintf(stderr, "KeyToText differs from the reference decoder (%zu vs %zu bytes out)\n", got.size(),
                 want.size());
    std::abort();
  }
  // Text that is already well-formed comes back unchanged.
  if (vorl::KeyToText(got) != got) std::abort();
  return 0;
}
