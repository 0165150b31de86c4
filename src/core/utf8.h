// Strict UTF-8 decoding of raw bytes, as Python's decoder reads them: no
// overlong forms, no surrogates, nothing past U+10FFFF (Unicode table 3-7).
// Inline, for the loops over every key and every stored text that use it.
#ifndef VORLSTORE_CORE_UTF8_H_
#define VORLSTORE_CORE_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorl::utf8 {

// Classifies the sequence at p (left >= 1 bytes available).  Returns true
// for a well-formed character of *len bytes; otherwise false with *len the
// length of the maximal subpart to replace (at least 1).  The ranges of the
// second byte exclude overlong forms (E0 80..9F, F0 80..8F), surrogates
// (ED A0..BF) and code points past U+10FFFF (F4 90..BF).
inline bool DecodeOne(const unsigned char* p, std::size_t left, std::size_t* len) {
  const unsigned lead = p[0];
  if (lead < 0x80) {
    *len = 1;
    return true;
  }
  std::size_t trail;
  unsigned low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *len = 1;  // 80..C1 and F5..FF never start a character
    return false;
  }
  for (std::size_t k = 1; k <= trail; ++k) {
    if (k >= left || p[k] < low || p[k] > high) {
      *len = k;  // the lead and the trail bytes that were still acceptable
      return false;
    }
    low = 0x80;
    high = 0xBF;
  }
  *len = trail + 1;
  return true;
}

// Length of the longest well-formed prefix.  Runs of ASCII are skipped
// eight bytes at a time, since short ASCII keys are the common case.
inline std::size_t ValidPrefix(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    while (n - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p + i, sizeof word);
      if (word & 0x8080808080808080u) break;
      i += 8;
    }
    if (i == n) break;
    if (p[i] < 0x80) {  // the ASCII tail of a short run, without the decoder
      ++i;
      continue;
    }
    std::size_t len;
    if (!DecodeOne(p + i, n - i, &len)) return i;
    i += len;
  }
  return i;
}

}  // namespace vorl::utf8

#endif  // VORLSTORE_CORE_UTF8_H_
