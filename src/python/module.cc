// The module's entry point and execution step.  PyInit__vorlstore only hands
// the definition to the interpreter (multi-phase initialisation); the
// execution step adds the classes and the version to each new module
// object.  The classes themselves are created once per process (class_def.h,
// ClassObject), so every module object gets the very same class objects.
// The module has no state of its own.
#include <Python.h>

#include "python/classes.h"
#include "python/errors.h"
#include "python/frame.h"
#include "python/pyref.h"

namespace vorl::py {
namespace {

// The classes in the order they are added to the module and to __all__.
ClassDef* const kModuleClasses[] = {
    &kWriterClass,
    &kReaderClass,
};

// From pyproject.toml, through the build (CMakeLists.txt).
constexpr const char kVersion[] = VORL_VERSION;

// Names the execution step in fault diagnostics.
constexpr ArgumentSpec kExecSite{"_vorlstore", "<exec>", {}, 0};

// Returns the module's __all__ list (a new reference), creating an empty one
// if the module has none.  Null with an exception set on failure.
PyObject* AllList(PyObject* module) {
  PyRef all = PyRef::Steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    all = PyRef::Steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return nullptr;
  }
  if (!PyList_Check(all.get())) {
    RaiseWrongType(all.get(), "list");
    return nullptr;
  }
  return all.release();
}

// repr() of a str name as UTF-8 ("'_VorlWriter'"), or "?" if the
// interpreter cannot produce it; used only in a fault message.
std::string QuotedText(PyObject* name) {
  PyRef repr = PyRef::Steal(PyObject_Repr(name));
  const char* utf8 = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return utf8;
}

// Appends `name` to __all__, then sets the attribute `name` to `value`.
bool AddValue(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::Steal(AllList(module));
  if (!all) return false;
  if (PyList_Append(all.get(), name) < 0) {
    // The message keeps its fixed opening and then names the value that
    // could not be listed, which the opening alone never did.
    PyRef error = PyRef::Steal(PyErr_GetRaisedException());
    std::string message = "could not append __name__ to __all__: name ";
    message += QuotedText(name);
    PyRef text = PyRef::Steal(PyObject_Str(error.get()));
    const char* detail = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (detail != nullptr && *detail != '\0') {
      message += ": ";
      message += detail;
    }
    PyErr_Clear();
    Fault(std::move(message));
  }
  return PyObject_SetAttr(module, name, value) == 0;
}

bool AddNamedValue(PyObject* module, const char* name, PyObject* value) {
  PyRef key = PyRef::Steal(PyUnicode_FromString(name));
  return key && AddValue(module, key.get(), value);
}

int ExecModule(PyObject* module) noexcept {
  PyObject* result = frame_internal::Contain(kExecSite, [&]() -> PyObject* {
    if (!PyModule_Check(module)) {
      RaiseWrongType(module, "module");
      return nullptr;
    }
    for (ClassDef* cls : kModuleClasses) {
      PyTypeObject* type = ClassObject(*cls);
      if (type == nullptr) return nullptr;
      if (!AddNamedValue(module, cls->name, reinterpret_cast<PyObject*>(type))) return nullptr;
    }
    PyRef name = PyRef::Steal(PyUnicode_FromString("__version__"));
    if (!name) return nullptr;
    PyRef version = PyRef::Steal(PyUnicode_FromString(kVersion));
    if (!version) return nullptr;
    if (!AddValue(module, name.get(), version.get())) return nullptr;
    Py_RETURN_NONE;
  });
  if (result == nullptr) return -1;
  Py_DECREF(result);
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ExecModule)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "_vorlstore",
    "vorlstore._vorlstore \u2014 native extension module entry-point",
    0,        // no per-module state
    nullptr,  // no module-level functions
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorl::py

PyMODINIT_FUNC PyInit__vorlstore(void) { return PyModuleDef_Init(&vorl::py::kModule); }
