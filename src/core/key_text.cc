// KeyToText: key bytes as UTF-8 text for listings.  Well-formed UTF-8 (the
// form of every key that came from a Python str) is returned unchanged after
// one validating pass; otherwise every maximal subpart of an ill-formed
// sequence becomes one U+FFFD, the substitution Python's "replace" error
// handler makes.
#include "core/key_text.h"

#include "core/utf8.h"

namespace vorl {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

std::string KeyToText(std::string_view key) {
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t n = key.size();
  std::size_t i = utf8::ValidPrefix(p, n);
  if (i == n) return std::string(key);
  std::string out;
  out.reserve(n + 2 * (n - i));  // each replaced byte grows to at most 3
  out.append(key.substr(0, i));
  while (i < n) {
    std::size_t len;
    if (utf8::DecodeOne(p + i, n - i, &len)) {
      out.append(key.substr(i, len));
    } else {
      out.append(kReplacement);
    }
    i += len;
  }
  return out;
}

}  // namespace vorl
