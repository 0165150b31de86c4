// PyRef: owns one strong reference to a Python object (or none) and drops it
// when destroyed.  Functions of the C API that return a new reference feed
// PyRef::Steal; release() hands the reference back to the caller, which is how
// an entry point returns its result.  Use only with the interpreter lock held
// (or the thread attached, where there is no global lock).
#ifndef VORLSTORE_PYTHON_PYREF_H_
#define VORLSTORE_PYTHON_PYREF_H_

#include <Python.h>

namespace vorl::py {

class PyRef {
 public:
  PyRef() = default;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference, which may be null (a failed C API call).
  static PyRef Steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to a borrowed object.
  static PyRef Borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  // Drops the held reference and takes over `object` (a new reference).
  void reset(PyObject* object = nullptr) {
    PyObject* old = object_;
    object_ = object;
    Py_XDECREF(old);
  }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_PYREF_H_
