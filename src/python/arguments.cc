#include "python/arguments.h"

#include <cstring>
#include <string_view>

#include "python/pyref.h"

namespace vorl::py {
namespace {

// Looks `name` up among the parameters by its UTF-8 bytes, without creating
// any object.  A name without a UTF-8 form (lone surrogates) matches none.
// Returns the parameter index or -1.
Py_ssize_t FindParameter(const ArgumentSpec& spec, PyObject* name) {
  if (!PyUnicode_Check(name)) return -1;
  for (std::size_t i = 0; i < spec.names.size(); ++i) {
    const char* candidate = spec.names[i];
    if (PyUnicode_EqualToUTF8AndSize(name, candidate, static_cast<Py_ssize_t>(std::strlen(candidate)))) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool RaiseTooManyPositional(const ArgumentSpec& spec, Py_ssize_t given) {
  const auto total = static_cast<Py_ssize_t>(spec.names.size());
  const auto required = static_cast<Py_ssize_t>(spec.required);
  const char* verb = given == 1 ? "was" : "were";
  if (required == total) {
    PyErr_Format(PyExc_TypeError, "%s.%s() takes %zd positional arguments but %zd %s given", spec.class_name,
                 spec.method_name, total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s.%s() takes from %zd to %zd positional arguments but %zd %s given",
                 spec.class_name, spec.method_name, required, total, given, verb);
  }
  return false;
}

// Assigns one keyword argument; on failure sets the TypeError.
bool AssignKeyword(const ArgumentSpec& spec, PyObject* name, PyObject* value, Arguments* out) {
  const Py_ssize_t index = FindParameter(spec, name);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%S'", spec.class_name,
                 spec.method_name, name);
    return false;
  }
  if (out->slot[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'", spec.class_name,
                 spec.method_name, spec.names[index]);
    return false;
  }
  out->slot[index] = value;
  return true;
}

bool CheckRequired(const ArgumentSpec& spec, const Arguments& parsed) {
  std::array<const char*, kMaxParameters> missing{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (parsed.slot[i] == nullptr) missing[count++] = spec.names[i];
  }
  if (count == 0) return true;
  std::string text = FullName(spec);
  text += " missing ";
  text += std::to_string(count);
  text += count == 1 ? " required positional argument: " : " required positional arguments: ";
  text += JoinQuotedNames(std::span<const char* const>(missing.data(), count));
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

}  // namespace

std::string FullName(const ArgumentSpec& spec) {
  std::string name = spec.class_name;
  name += '.';
  name += spec.method_name;
  name += "()";
  return name;
}

std::string JoinQuotedNames(std::span<const char* const> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool ParseFastcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Arguments* out) noexcept {
  nargs = PyVectorcall_NARGS(nargs);
  if (nargs > static_cast<Py_ssize_t>(spec.names.size())) return RaiseTooManyPositional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out->slot[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      if (!AssignKeyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
  }
  return CheckRequired(spec, *out);
}

bool ParseTupleDict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, Arguments* out) noexcept {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > static_cast<Py_ssize_t>(spec.names.size())) return RaiseTooManyPositional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out->slot[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    // The dict belongs to this call, and PyDict_Next runs no Python code.
    while (PyDict_Next(kwargs, &pos, &name, &value)) {
      if (!AssignKeyword(spec, name, value, out)) return false;
    }
  }
  return CheckRequired(spec, *out);
}

bool RaiseWrongType(PyObject* object, const char* expected) noexcept {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return false;
  }
  PyRef type_name = PyRef::Steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of '%s'",
                 expected);
    return false;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(), expected);
  return false;
}

void MarkArgumentError(const char* parameter) noexcept {
  // Only TypeError itself is renamed; subclasses and other classes pass.
  if (PyErr_Occurred() != PyExc_TypeError) return;
  PyRef original = PyRef::Steal(PyErr_GetRaisedException());
  PyErr_Format(PyExc_TypeError, "argument '%s': %S", parameter, original.get());
  PyRef replacement = PyRef::Steal(PyErr_GetRaisedException());
  // If str() of the original failed, its error stands instead.
  if (replacement && Py_IS_TYPE(replacement.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
  }
  PyErr_SetRaisedException(replacement.release());
}

}  // namespace vorl::py
