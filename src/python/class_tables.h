// The method-table entries and the type spec of a class, written once for
// every class of the module.  A class file lists MethodEntry<Spec, Op>(doc)
// rows and declares a ClassTables<Native> object; the calling convention of
// each row follows from its operation's signature, and the method's name
// comes from its MethodSpec, so neither is written twice.
#ifndef VORLSTORE_PYTHON_CLASS_TABLES_H_
#define VORLSTORE_PYTHON_CLASS_TABLES_H_

#include <Python.h>

#include <array>

#include "python/frame.h"
#include "python/instance.h"

namespace vorl::py {

template <typename Operation>
struct OperationTraits;
template <typename N>
struct OperationTraits<PyObject* (*)(PyObject*, N&, const Arguments&)> {
  using Native = N;
  static constexpr bool kTakesArguments = true;
};
template <typename N>
struct OperationTraits<PyObject* (*)(PyObject*, N&)> {
  using Native = N;
  static constexpr bool kTakesArguments = false;
};

// A method-table entry holds every calling convention as PyCFunction; the
// flags tell the interpreter the real signature.
template <typename Function>
PyCFunction AsMethodPointer(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// One method-table row: operations that take arguments are fast calls with
// keywords, the others take none.
template <const MethodSpec& M, auto Op>
PyMethodDef MethodEntry(const char* doc) {
  using Traits = OperationTraits<decltype(Op)>;
  using Native = typename Traits::Native;
  if constexpr (Traits::kTakesArguments) {
    return {M.args.method_name, AsMethodPointer(FastcallEntry<Native, M, Op>), METH_FASTCALL | METH_KEYWORDS,
            doc};
  } else {
    return {M.args.method_name, AsMethodPointer(NoargsEntry<Native, M, Op>), METH_NOARGS, doc};
  }
}

// The slots and PyType_Spec of a class whose instances hold a Native.  Every class
// has the same slots (deallocation, docstring, methods, new, repr) and the
// default flags only: not a base type, no GC, no __dict__, no weak
// references, not immutable.  The object must stay where it was built, as
// the PyType_Spec points at the slots; declare it at namespace scope.
template <typename Native>
class ClassTables {
 public:
  ClassTables(const char* qualified_name, const char* doc, PyMethodDef* methods, newfunc new_slot,
              reprfunc repr_slot)
      : slots_{{
            {Py_tp_dealloc, reinterpret_cast<void*>(DeallocEntry<Native>)},
            {Py_tp_doc, const_cast<char*>(doc)},
            {Py_tp_methods, methods},
            {Py_tp_new, reinterpret_cast<void*>(new_slot)},
            {Py_tp_repr, reinterpret_cast<void*>(repr_slot)},
            {0, nullptr},
        }},
        spec_{
            .name = qualified_name,
            .basicsize = static_cast<int>(sizeof(Instance<Native>)),
            .itemsize = 0,
            .flags = Py_TPFLAGS_DEFAULT,
            .slots = slots_.data(),
        } {}
  ClassTables(const ClassTables&) = delete;
  ClassTables& operator=(const ClassTables&) = delete;

  PyType_Spec* spec() { return &spec_; }

 private:
  std::array<PyType_Slot, 6> slots_;
  PyType_Spec spec_;
};

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_CLASS_TABLES_H_
