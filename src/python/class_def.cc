#include "python/class_def.h"

namespace vorl::py {

PyTypeObject* ClassObject(ClassDef& cls) noexcept {
  return reinterpret_cast<PyTypeObject*>(cls.cell.Get([&] { return PyType_FromSpec(cls.spec); }));
}

}  // namespace vorl::py
