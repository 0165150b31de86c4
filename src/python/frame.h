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
// The pieces live in rooms of their own: argument specs and parsers
// (arguments.h), the borrow (borrow.h), the instance layout (instance.h) and
// the classes' tables (class_def.h, class_tables.h).  A method is a
// MethodSpec plus an operation, a plain function taking the instance's
// native state.  All of this runs with the interpreter lock held.
#ifndef VORLSTORE_PYTHON_FRAME_H_
#define VORLSTORE_PYTHON_FRAME_H_

#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "python/arguments.h"
#include "python/borrow.h"
#include "python/class_def.h"
#include "python/errors.h"
#include "python/instance.h"

namespace vorl::py {

// Wraps a new reference made for a result: null means the interpreter could
// not create it, which the frame treats as an internal fault.
PyObject* NewResult(PyObject* object, SourceLocation where = SourceLocation::Current());
// A new str of `utf8`, made as NewResult makes any result.
PyObject* TextResult(std::string_view utf8, SourceLocation where = SourceLocation::Current());

// What the frame needs to know about a method besides its operation: the
// receiver's class, the parameter list and the borrow the call takes.
struct MethodSpec {
  ClassDef* cls;
  ArgumentSpec args;
  BorrowKind borrow;
};

// A method of class `cls` (named `class_name`) whose parameters, if any,
// must all be given.
constexpr MethodSpec AllRequired(ClassDef& cls, const char* class_name, const char* method, BorrowKind borrow,
                                 std::span<const char* const> params = {}) {
  return {&cls, {class_name, method, params, params.size()}, borrow};
}

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

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_FRAME_H_
