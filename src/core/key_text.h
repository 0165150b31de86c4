// KeyToText: key bytes as text for messages and listings.
#ifndef VORLSTORE_CORE_KEY_TEXT_H_
#define VORLSTORE_CORE_KEY_TEXT_H_

#include <string>
#include <string_view>

namespace vorl {

// Key bytes as text: valid UTF-8 unchanged, each maximal invalid subpart
// replaced by U+FFFD.  Never fails.
std::string KeyToText(std::string_view key);

}  // namespace vorl

#endif  // VORLSTORE_CORE_KEY_TEXT_H_
