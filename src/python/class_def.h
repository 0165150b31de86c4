// The module's classes as the rest of the binding sees them: a ClassDef per
// class (its name, type spec and process-wide cell), the method tables and
// the type spec, built the same way for every class.  Each class file fills
// in its operations and texts; module.cc registers the classes (classes.h).
#ifndef VORLSTORE_PYTHON_CLASS_DEF_H_
#define VORLSTORE_PYTHON_CLASS_DEF_H_

#include <Python.h>

#include "python/once_cell.h"

namespace vorl::py {

struct ClassDef {
  const char* name;  // "_VorlWriter"
  PyType_Spec* spec;
  OnceCell cell;
};

// The class object, created from its spec the first time it is needed in
// the process.  Borrowed; null with the interpreter's error if creation
// failed.
PyTypeObject* ClassObject(ClassDef& cls) noexcept;

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_CLASS_DEF_H_
