// The method-call frame: every Python-visible operation of the classes runs
// inside one of the entry templates below, which
//
//   1. parse the arguments against a static ArgumentSpec (fast call with
//      keyword names, or argument tuple and keyword dict for the new slot),
//   2. check the receiver's class,
//   3. take the instance's borrow (shared or exclusive),
//   4. run the operation, which converts its arguments in parameter order
//      (ConvertArgument), calls the core and builds the result,
//   5. release the borrow and return,
//
// and contain every C++ exception: an InternalFault, or anything else thrown,
// becomes PanicException with the borrow already released.  An entry point
// returns null only with a Python exception set and never returns a result
// with one pending.
//
// A class is a ClassDef (its name, type spec and process-wide cell) plus a
// table of MethodSpecs whose operations are plain functions taking the
// instance's native state.  All of this runs with the interpreter lock held;
// the borrow counter is atomic so that instances stay consistent where the
// interpreter has no global lock.
#ifndef VORLSTORE_PYTHON_FRAME_H_
#define VORLSTORE_PYTHON_FRAME_H_

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <exception>
#include <new>
#include <span>
#include <string>
#include <utility>

#include "python/errors.h"
#include "python/once_cell.h"

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

// Wraps a new reference made for a result: null means the interpreter could
// not create it, which the frame treats as an internal fault.
PyObject* NewResult(PyObject* object, SourceLocation where = SourceLocation::Current());

// ---- Classes ------------------------------------------------------------

struct ClassDef {
  const char* name;  // "_VorlWriter"
  PyType_Spec* spec;
  OnceCell cell;
};

// The class object, created from its spec the first time it is needed in
// the process.  Borrowed; null with the interpreter's error if creation
// failed.
PyTypeObject* ClassObject(ClassDef& cls) noexcept;

// Every instance starts with this header; `borrow` is 0 when free, n > 0
// for n shared borrows and -1 for the exclusive borrow.
struct InstanceHead {
  PyObject object;
  std::atomic<Py_ssize_t> borrow;
};

template <typename Native>
struct Instance {
  InstanceHead head;
  Native native;
};

template <typename Native>
Native& NativeOf(PyObject* self) {
  return reinterpret_cast<Instance<Native>*>(self)->native;
}

enum class BorrowKind { kShared, kExclusive };

// Holds one borrow of an instance and gives it back when destroyed, so that
// every exit of the frame releases it.
class BorrowGuard {
 public:
  BorrowGuard() = default;
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() { Release(); }

  // On conflict set RuntimeError ("Already mutably borrowed" for a shared
  // request, "Already borrowed" for an exclusive one) and return false.
  bool Acquire(std::atomic<Py_ssize_t>& counter, BorrowKind kind) noexcept;
  void Release() noexcept;

 private:
  std::atomic<Py_ssize_t>* counter_ = nullptr;
  BorrowKind kind_ = BorrowKind::kShared;
};

struct MethodSpec {
  ClassDef* cls;
  ArgumentSpec args;
  BorrowKind borrow;
};

// ---- Frame internals ------------------------------------------------------

namespace frame_internal {

// Checks that `self` is an instance of the class; otherwise sets the
// wrongly-typed-object error.  Faults if the class cannot be created.
bool CheckReceiver(PyObject* self, ClassDef& cls);

// Final checks of an entry point's result: null must come with an
// exception, a result without one.
PyObject* CheckResult(PyObject* result, const ArgumentSpec& site) noexcept;

void RaiseFault(const InternalFault& fault, const ArgumentSpec& site) noexcept;
void RaiseUnknownFault(const char* what, const ArgumentSpec& site) noexcept;
[[noreturn]] void AbortBadAlloc() noexcept;

// Runs `body` (returning a new reference or null) with every C++ exception
// contained.  Anything thrown by the handlers themselves ends the process,
// as the function is noexcept.
template <typename Body>
PyObject* Contain(const ArgumentSpec& site, Body&& body) noexcept {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (const InternalFault& fault) {
    RaiseFault(fault, site);
    return nullptr;
  } catch (const AllocationFailure& failure) {
    AbortOutOfMemory(failure.bytes());
  } catch (const std::bad_alloc&) {
    AbortBadAlloc();
  } catch (const std::exception& e) {
    RaiseUnknownFault(e.what(), site);
    return nullptr;
  } catch (...) {
    RaiseUnknownFault("", site);
    return nullptr;
  }
  return CheckResult(result, site);
}

template <typename Body>
PyObject* Borrowed(const MethodSpec& method, PyObject* self, Body&& body) {
  if (!CheckReceiver(self, *method.cls)) return nullptr;
  BorrowGuard borrow;
  if (!borrow.Acquire(reinterpret_cast<InstanceHead*>(self)->borrow, method.borrow)) return nullptr;
  return body();
}

}  // namespace frame_internal

// ---- Entry points -----------------------------------------------------------
//
// Each takes the operation as a template argument so that a method table
// entry is one instantiation.  Operations return a new reference or null
// with an exception set, and may throw InternalFault.

// METH_FASTCALL | METH_KEYWORDS methods.
template <typename Native, const MethodSpec& M, PyObject* (*Op)(PyObject*, Native&, const Arguments&)>
PyObject* FastcallEntry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return frame_internal::Contain(M.args, [&]() -> PyObject* {
    Arguments parsed;
    if (!ParseFastcall(M.args, args, nargs, kwnames, &parsed)) return nullptr;
    return frame_internal::Borrowed(M, self, [&] { return Op(self, NativeOf<Native>(self), parsed); });
  });
}

// METH_NOARGS methods; the interpreter rejects any argument itself.
template <typename Native, const MethodSpec& M, PyObject* (*Op)(PyObject*, Native&)>
PyObject* NoargsEntry(PyObject* self, PyObject* /*unused*/) noexcept {
  return frame_internal::Contain(M.args, [&] {
    return frame_internal::Borrowed(M, self, [&] { return Op(self, NativeOf<Native>(self)); });
  });
}

// The repr slot.
template <typename Native, const MethodSpec& M, PyObject* (*Op)(PyObject*, Native&)>
PyObject* ReprEntry(PyObject* self) noexcept {
  return NoargsEntry<Native, M, Op>(self, nullptr);
}

// The new slot: parse, then let `Op` convert, run and create the instance
// (NewInstance).  No receiver check and no borrow.
template <const ArgumentSpec& A, PyObject* (*Op)(PyTypeObject*, const Arguments&)>
PyObject* NewEntry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return frame_internal::Contain(A, [&]() -> PyObject* {
    Arguments parsed;
    if (!ParseTupleDict(A, args, kwargs, &parsed)) return nullptr;
    return Op(type, parsed);
  });
}

// A method-table entry holds every calling convention as PyCFunction; the
// flags tell the interpreter the real signature.
template <typename Function>
PyCFunction AsMethodPointer(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Allocates an instance of `type` whose native state is constructed from
// `init`.  Returns a new reference or null with an exception set.
template <typename Native, typename... Init>
PyObject* NewInstance(PyTypeObject* type, Init&&... init) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* instance = reinterpret_cast<Instance<Native>*>(self);
  new (&instance->head.borrow) std::atomic<Py_ssize_t>(0);
  try {
    new (&instance->native) Native(std::forward<Init>(init)...);
  } catch (...) {
    type->tp_free(self);
    Py_DECREF(type);  // the reference tp_alloc took for the instance
    throw;
  }
  return self;
}

// The deallocation slot: destroys the native state, frees the memory and
// drops the instance's reference to its heap type.
template <typename Native>
void DeallocEntry(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* instance = reinterpret_cast<Instance<Native>*>(self);
  instance->native.~Native();
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_FRAME_H_
