#include "engine/keys.h"

#include <cstdio>
#include <string>

#include "core/format.h"
#include "engine/bindings.h"
#include "engine/errors.h"

namespace vorl::engine {
namespace {

std::string_view View(nb::handle bytes) {
  return {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

// Why `text` has no byte form: the first code point surrogateescape cannot
// encode.  Called after the encoder refused.
[[noreturn]] void ThrowUnencodable(nb::handle text) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(text.ptr(), i);
    if (c >= 0xD800 && c <= 0xDFFF && !(c >= 0xDC80 && c <= 0xDCFF)) {
      char where[96];
      std::snprintf(where, sizeof where, "lone surrogate U+%04X at position %zd", static_cast<unsigned>(c),
                    i);
      throw Failure(FailureKind::kKey, std::string("key ") + nb::repr(text).c_str() + " has no byte form: " +
                                           where + " (only U+DC80..U+DCFF stand for bytes)");
    }
  }
  throw Failure(FailureKind::kKey, std::string("key ") + nb::repr(text).c_str() + " has no byte form");
}

}  // namespace

KeyArg::KeyArg(nb::handle key) {
  PyObject* o = key.ptr();
  if (PyBytes_Check(o)) {
    bytes_ = View(key);
  } else if (PyUnicode_Check(o)) {
    if (PyUnicode_IS_ASCII(o)) {
      // ASCII text is its own UTF-8 form: no copy.
      bytes_ = {static_cast<const char*>(PyUnicode_DATA(o)),
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(o))};
      return;
    }
    encoded_ = nb::steal(PyUnicode_AsEncodedString(o, "utf-8", "surrogateescape"));
    if (!encoded_.is_valid()) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
      PyErr_Clear();
      ThrowUnencodable(key);
    }
    bytes_ = View(encoded_);
  } else if (PyByteArray_Check(o)) {
    bytes_ = {PyByteArray_AS_STRING(o), static_cast<std::size_t>(PyByteArray_GET_SIZE(o))};
  } else {
    throw nb::type_error((std::string("key must be str or bytes, not ") + Py_TYPE(o)->tp_name).c_str());
  }
}

void CheckKeyLength(std::string_view key) {
  if (key.size() > format::kMaxKeyLength) {
    throw Failure(FailureKind::kKey, "key of " + std::to_string(key.size()) + " bytes exceeds the limit of " +
                                         std::to_string(format::kMaxKeyLength) + " bytes");
  }
}

nb::object KeyToPython(std::string_view key, bool as_bytes) {
  PyObject* o =
      as_bytes ? PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()))
               : PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "surrogateescape");
  if (o == nullptr) throw nb::python_error();
  return nb::steal(o);
}

void BindKeys(nb::module_& m) {
  m.def(
      "key_bytes",
      [](nb::handle key) {
        const KeyArg k(key);
        return nb::bytes(k.bytes().data(), k.bytes().size());
      },
      nb::arg("key"), nb::sig("def key_bytes(key: str | bytes | bytearray, /) -> bytes"),
      "The bytes `key` is stored and looked up by: str as UTF-8 with surrogateescape.");
}

nb::object PathToPython(std::string_view path) {
  PyObject* o = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  if (o == nullptr) throw nb::python_error();
  return nb::steal(o);
}

}  // namespace vorl::engine
