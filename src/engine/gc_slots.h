// The cyclic collector's slots for engine classes that hold Python objects
// which may lead back to them: a reader's decoder calls the caller's hooks,
// and a hook is often a bound method of the object that owns the reader.
// Without the slots such a cycle is never freed.  T provides
//   int Traverse(visitproc visit, void* arg) const;  // visits what it holds
//   void Clear();  // drops what it holds; later calls fail cleanly
// Pass GcSlots<T>() to nb::type_slots when binding T.
#ifndef VORLSTORE_ENGINE_GC_SLOTS_H_
#define VORLSTORE_ENGINE_GC_SLOTS_H_

#include <nanobind/nanobind.h>

namespace vorl::engine {

namespace nb = nanobind;

template <typename T>
int TraverseSlot(PyObject* self, visitproc visit, void* arg) {
  // A heap type's instances own a reference to it.
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  return nb::inst_ptr<T>(self)->Traverse(visit, arg);
}

template <typename T>
int ClearSlot(PyObject* self) {
  if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->Clear();
  return 0;
}

template <typename T>
PyType_Slot* GcSlots() {
  static PyType_Slot slots[] = {
      {Py_tp_traverse, reinterpret_cast<void*>(&TraverseSlot<T>)},
      {Py_tp_clear, reinterpret_cast<void*>(&ClearSlot<T>)},
      {0, nullptr},
  };
  return slots;
}

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_GC_SLOTS_H_
