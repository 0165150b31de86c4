#include "python/frame.h"

#include <string>

#include "python/errors.h"

namespace vorl::py {

PyObject* NewResult(PyObject* object, SourceLocation where) {
  if (object == nullptr) FaultAfterPythonError("the interpreter failed to create a result object", where);
  return object;
}

PyObject* TextResult(std::string_view utf8, SourceLocation where) {
  return NewResult(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())), where);
}

namespace frame_internal {

bool CheckReceiver(PyObject* self, ClassDef& cls) {
  PyTypeObject* type = ClassObject(cls);
  if (type == nullptr) {
    PyErr_FormatUnraisable("Exception ignored while creating the type object for `%s`", cls.name);
    Fault(std::string("failed to create type object for `") + cls.name + "`");
  }
  if (PyObject_TypeCheck(self, type)) return true;
  return RaiseWrongType(self, cls.name);
}

PyObject* CheckResult(PyObject* result, const ArgumentSpec& site) noexcept {
  if (result == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    RaisePanic("an operation failed without setting an exception", SourceLocation::Current(), FullName(site));
    return nullptr;
  }
  if (PyErr_Occurred()) {
    Py_DECREF(result);
    RaisePanic("an operation returned a result with an exception pending", SourceLocation::Current(),
               FullName(site));
    return nullptr;
  }
  return result;
}

void RaiseFault(const InternalFault& fault, const ArgumentSpec& site) noexcept {
  RaisePanic(fault.message, fault.where, FullName(site));
}

void RaiseUnknownFault(const char* what, const ArgumentSpec& site) noexcept {
  RaisePanic(what, SourceLocation::Current(), FullName(site));
}

void AbortBadAlloc() noexcept { AbortWithMessage("memory allocation failed (std::bad_alloc)"); }

}  // namespace frame_internal
}  // namespace vorl::py
