// Argument parsing for every Python entry point: a static, table-driven
// ArgumentSpec per method and one generic parser per calling convention that
// fills a fixed array of argument slots, plus the shared texts of argument
// errors.  The parsers only place arguments; converting them to C++ values
// is the operation's job (ConvertArgument with a rule of convert.h).
// Everything here runs with the interpreter lock held and keeps no state.
#ifndef VORLSTORE_PYTHON_ARGUMENTS_H_
#define VORLSTORE_PYTHON_ARGUMENTS_H_

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>

namespace vorl::py {

inline constexpr std::size_t kMaxParameters = 3;

// A method's parameter list: every parameter may be given by position or by
// keyword; the first `required` ones must be given.  No keyword-only or
// catch-all parameters.
struct ArgumentSpec {
  const char* class_name;   // "_VorlWriter"
  const char* method_name;  // "add_key"; constructors use "__new__"
  std::span<const char* const> names;
  std::size_t required;
};

// "{class}.{method}()", as used in argument errors and diagnostics.
std::string FullName(const ArgumentSpec& spec);

// One slot per parameter, in parameter order: the argument object
// (borrowed from the caller, alive for the whole call) or null if not given.
struct Arguments {
  std::array<PyObject*, kMaxParameters> slot{};
  PyObject* operator[](std::size_t i) const { return slot[i]; }
};

// Fill `out` from a fast call (argument vector, positional count and tuple
// of keyword names or null).  On failure set TypeError and return false.
bool ParseFastcall(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Arguments* out) noexcept;
// The same from an argument tuple and a keyword dict (or null), for the new
// slot.
bool ParseTupleDict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs, Arguments* out) noexcept;

// "'a', 'b', and 'c'": names quoted and joined the way argument errors list
// them.
std::string JoinQuotedNames(std::span<const char* const> names);

// Sets TypeError "'{type}' object is not an instance of '{expected}'" (or
// "'None' is not an instance of '{expected}'") and returns false.
bool RaiseWrongType(PyObject* object, const char* expected) noexcept;

// If the pending exception is exactly TypeError, replaces it by
// TypeError("argument '{parameter}': {str(old)}") with the old exception's
// __cause__; any other exception stays as it is.
void MarkArgumentError(const char* parameter) noexcept;

// Runs one conversion rule (convert.h) on argument `object` of parameter
// `parameter`, naming the parameter in a TypeError it raises.
template <typename T>
bool ConvertArgument(bool (*rule)(PyObject*, T*), PyObject* object, const char* parameter, T* out) {
  if (rule(object, out)) return true;
  MarkArgumentError(parameter);
  return false;
}

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_ARGUMENTS_H_
