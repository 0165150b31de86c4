// Conversion of Python arguments into core values.
//
// The text, boolean, unsigned-integer and bytes rules run in the call frame
// through ConvertArgument (arguments.h), which names the parameter in their
// TypeErrors.  The key rule runs inside the operation and raises only
// ValueError("key must be str or bytes").  The rules may run Python code of
// the caller (__index__, __iter__, ...), which can re-enter the instance; the
// frame's borrow decides what such a call may do.
//
// All functions need the interpreter lock.  Views they return point into
// the argument objects, which the caller keeps alive for the whole call.
#ifndef VORLSTORE_PYTHON_CONVERT_H_
#define VORLSTORE_PYTHON_CONVERT_H_

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vorl::py {

// Text rule: a str (or subclass), as a view of the interpreter's cached
// UTF-8 form.  A str with lone surrogates raises UnicodeEncodeError.
bool ConvertText(PyObject* object, std::string_view* out) noexcept;

// Boolean rule: True and False, and numpy's bool scalars (recognised by
// their type's module and name, without importing numpy).  No general truth
// testing.
bool ConvertBool(PyObject* object, bool* out) noexcept;

// Unsigned-integer rule for 32-bit ids: an int (or subclass), or any object
// through __index__; OverflowError outside 0..2**32-1.
bool ConvertUInt32(PyObject* object, std::uint32_t* out) noexcept;

// Bytes rule: a bytes (or subclass), as a view of its contents.  bytes is
// immutable, so the view is as good as a copy; the core makes the one copy
// it keeps.
bool ConvertBytes(PyObject* object, std::string_view* out) noexcept;

// The bytes of a key or prefix: a view into an immutable str or bytes
// argument, or an owned copy for every other accepted form.
class KeyBytes {
 public:
  KeyBytes() = default;
  KeyBytes(const KeyBytes&) = delete;
  KeyBytes& operator=(const KeyBytes&) = delete;

  std::string_view view() const { return view_; }

 private:
  friend bool ConvertKey(PyObject* object, KeyBytes* out);
  void SetView(std::string_view view) { view_ = view; }
  void SetOwned(std::string bytes) {
    owned_ = std::move(bytes);
    view_ = owned_;
  }

  std::string owned_;
  std::string_view view_;
};

// Key rule (key_bytes): str as UTF-8, bytes, bytearray, or any other
// sequence of integers 0..255.  Anything else sets
// ValueError("key must be str or bytes") with no chained exception.  May
// throw InternalFault when collections.abc.Sequence cannot be looked up.
bool ConvertKey(PyObject* object, KeyBytes* out);

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_CONVERT_H_
