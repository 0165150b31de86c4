#include "python/convert.h"

#include <algorithm>
#include <limits>

#include "python/errors.h"
#include "python/arguments.h"
#include "python/once_cell.h"
#include "python/pyref.h"

namespace vorl::py {
namespace {

// Keys hold at most 65,535 bytes; a larger length hint (a huge range, a lying
// __len__) must not make us reserve memory the key can never use.
constexpr Py_ssize_t kMaxKeyReservation = 1 << 16;

OnceCell sequence_abc;

// collections.abc.Sequence, looked up once per process.  It only names the
// expected type of a rejected key, and that error is replaced by the key
// error, but a failure to find it means the interpreter is broken.
void LookUpSequenceAbc() {
  PyObject* found = sequence_abc.Get([]() -> PyObject* {
    PyRef module = PyRef::Steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    PyRef sequence = PyRef::Steal(PyObject_GetAttrString(module.get(), "Sequence"));
    if (!sequence) return nullptr;
    if (!PyType_Check(sequence.get())) {
      PyErr_SetString(PyExc_TypeError, "collections.abc.Sequence is not a class");
      return nullptr;
    }
    return sequence.release();
  });
  if (found == nullptr) FaultAfterPythonError("failed to look up collections.abc.Sequence");
}

// Sets the key error, dropping whatever exception led to it.
bool RaiseKeyError() {
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, "key must be str or bytes");
  return false;
}

// Collects the items of a sequence as bytes 0..255.  Returns false, possibly
// with an exception set, when an item or the iteration fails.
bool SequenceBytes(PyObject* object, std::string* bytes) {
  const Py_ssize_t hint = PyObject_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    bytes->reserve(static_cast<std::size_t>(std::min(hint, kMaxKeyReservation)));
  }
  PyRef iterator = PyRef::Steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::Steal(PyIter_Next(iterator.get()))) {
    const long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) return false;
    // Unsigned, so that negative values fail too.
    if (static_cast<unsigned long>(value) > 255) return false;
    bytes->push_back(static_cast<char>(value));
  }
  return !PyErr_Occurred();
}

bool IsNumpyBoolType(PyTypeObject* type) {
  PyRef module = PyRef::Steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8(module.get(), "numpy")) return false;
  PyRef name = PyRef::Steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool");
}

}  // namespace

bool ConvertText(PyObject* object, std::string_view* out) noexcept {
  if (!PyUnicode_Check(object)) return RaiseWrongType(object, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return false;
  *out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool ConvertBool(PyObject* object, bool* out) noexcept {
  if (object == Py_True || object == Py_False) {
    *out = object == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(object);
  if (!IsNumpyBoolType(type)) return RaiseWrongType(object, "bool");
  inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
  if (truth == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
    return false;
  }
  const int value = truth(object);
  if (value < 0) return false;
  *out = value != 0;
  return true;
}

bool ConvertUInt32(PyObject* object, std::uint32_t* out) noexcept {
  PyRef number = PyLong_Check(object) ? PyRef::Borrow(object) : PyRef::Steal(PyNumber_Index(object));
  if (!number) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(number.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<std::uint32_t>(value);
  return true;
}

bool ConvertBytes(PyObject* object, std::string_view* out) noexcept {
  if (!PyBytes_Check(object)) return RaiseWrongType(object, "bytes");
  *out = std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  return true;
}

bool ConvertKey(PyObject* object, KeyBytes* out) {
  if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    // A str without a UTF-8 form is no key; every other form rejects str.
    if (utf8 == nullptr) return RaiseKeyError();
    out->SetView(std::string_view(utf8, static_cast<std::size_t>(size)));
    return true;
  }
  if (PyBytes_Check(object)) {
    out->SetView(
        std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))));
    return true;
  }
  if (PyByteArray_Check(object)) {
    // A bytearray may change later; keep its contents as they are now.
    out->SetOwned(
        std::string(PyByteArray_AS_STRING(object), static_cast<std::size_t>(PyByteArray_GET_SIZE(object))));
    return true;
  }
  if (PySequence_Check(object)) {
    std::string bytes;
    if (!SequenceBytes(object, &bytes)) return RaiseKeyError();
    out->SetOwned(std::move(bytes));
    return true;
  }
  LookUpSequenceAbc();
  return RaiseKeyError();
}

}  // namespace vorl::py
