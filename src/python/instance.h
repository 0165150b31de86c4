// The memory layout of an instance of the module's classes: the object
// header, the borrow counter, then the class's native state, which the
// instance owns.  NewInstance constructs it in place and DeallocEntry (the
// deallocation slot) destroys it, so each native state has one owner.
#ifndef VORLSTORE_PYTHON_INSTANCE_H_
#define VORLSTORE_PYTHON_INSTANCE_H_

#include <Python.h>

#include <atomic>
#include <new>
#include <utility>

namespace vorl::py {

// Every instance starts with this header; the borrow counter is the one
// BorrowGuard (borrow.h) takes.
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

#endif  // VORLSTORE_PYTHON_INSTANCE_H_
