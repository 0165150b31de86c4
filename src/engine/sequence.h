// Items: a private snapshot of a Python sequence, for calls that take many
// keys or objects at once.  PySequence_Fast keeps a tuple as it is and copies
// any other iterable once; the caller's own list is copied too, because
// Python code that runs during the call (a hook, a check, another thread)
// may change it, and the items read here are borrowed from the snapshot.
#ifndef VORLSTORE_ENGINE_SEQUENCE_H_
#define VORLSTORE_ENGINE_SEQUENCE_H_

#include <nanobind/nanobind.h>

#include <cstddef>

namespace vorl::engine {

namespace nb = nanobind;

class Items {
 public:
  // `what` is the TypeError message for an object that is not iterable.
  Items(nb::handle sequence, const char* what) : fast_(nb::steal(PySequence_Fast(sequence.ptr(), what))) {
    if (!fast_.is_valid()) throw nb::python_error();
    if (fast_.ptr() == sequence.ptr() && PyList_CheckExact(fast_.ptr())) {
      fast_ = nb::steal(PyList_GetSlice(fast_.ptr(), 0, PY_SSIZE_T_MAX));
      if (!fast_.is_valid()) throw nb::python_error();
    }
  }
  std::size_t size() const { return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast_.ptr())); }
  // Borrowed from the snapshot, which this object keeps alive and nothing
  // else can change.
  nb::handle operator[](std::size_t i) const {
    return PySequence_Fast_GET_ITEM(fast_.ptr(), static_cast<Py_ssize_t>(i));
  }

 private:
  nb::object fast_;
};

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_SEQUENCE_H_
