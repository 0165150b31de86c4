// A native check that stored bytes are one MessagePack object that the
// package's reader reads back, fast enough to run on every object of a bulk
// add.  It answers "known readable" or "not known": it accepts only what it
// fully understands (nil, booleans, numbers, UTF-8 text, binary, and arrays
// and maps of them whose map keys are not containers, up to a modest depth)
// and leaves everything else, extension types included, to the package's
// Python check, which decides and words the error.  So it never accepts
// bytes that the Python check would refuse.
//
// Plain C++ on a byte range; thread-safe.
#ifndef VORLSTORE_ENGINE_READABLE_CHECK_H_
#define VORLSTORE_ENGINE_READABLE_CHECK_H_

#include <string_view>

namespace vorl::engine {

// True when `bytes` are exactly one MessagePack object of the kinds above,
// with valid UTF-8 in every text.  False says nothing either way.
bool KnownReadable(std::string_view bytes);

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_READABLE_CHECK_H_
