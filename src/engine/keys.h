// Keys (and file names) between Python and the store.  A key is bytes in the file; from
// Python it is bytes, bytearray or str, and a str stands for its UTF-8 form
// with "surrogateescape" (the os.fsencode convention), so that every key
// listed as str looks up its own entry: listings decode key bytes the same
// way, and undecodable bytes come back as lone surrogates U+DC80..U+DCFF.
#ifndef VORLSTORE_ENGINE_KEYS_H_
#define VORLSTORE_ENGINE_KEYS_H_

#include <nanobind/nanobind.h>

#include <string_view>

namespace vorl::engine {

namespace nb = nanobind;

// The bytes of a key passed from Python.  The view stays valid while the
// KeyArg lives (it holds the encoded form of a str, or the caller's object
// stays referenced by the caller's frame).  Throws TypeError for other types
// and a key Failure for a str that has no byte form (a surrogate outside
// U+DC80..U+DCFF).
class KeyArg {
 public:
  explicit KeyArg(nb::handle key);
  std::string_view bytes() const { return bytes_; }

 private:
  nb::object encoded_;
  std::string_view bytes_;
};

// Throws a key Failure when `key` is longer than a store entry can hold.
void CheckKeyLength(std::string_view key);

// A key as Python sees it in listings: str (surrogateescape) or bytes.
// New reference.
nb::object KeyToPython(std::string_view key, bool as_bytes);

// A file name as Python shows it: decoded like os.fsdecode.  New reference.
nb::object PathToPython(std::string_view path);

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_KEYS_H_
