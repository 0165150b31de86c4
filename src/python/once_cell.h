// OnceCell: a process-wide slot for one Python object that is created on
// first need and then kept until the process ends (the classes, the
// internal-fault exception, the looked-up collections.abc.Sequence).
//
// Thread safety: any thread may call Get().  The first callers race for a
// mutex; each lets go of the interpreter lock while it waits for the mutex,
// so a thread that waits for another thread's initialisation never holds the
// lock that thread may need (an import inside the initialiser can switch
// threads).  The lock is taken back before the initialiser runs.
#ifndef VORLSTORE_PYTHON_ONCE_CELL_H_
#define VORLSTORE_PYTHON_ONCE_CELL_H_

#include <Python.h>

#include <atomic>
#include <mutex>

namespace vorl::py {

class OnceCell {
 public:
  OnceCell() = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  // Returns the cell's object (a borrowed reference that stays valid for the
  // rest of the process), running `init` first if no earlier call succeeded.
  // `init` returns a new reference, which the cell keeps, or null with a
  // Python exception set; then Get() returns null with that exception and a
  // later call tries again.
  // REQUIRES: the calling thread holds the interpreter lock.
  template <typename Init>
  PyObject* Get(Init&& init) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    PyThreadState* thread = PyEval_SaveThread();
    std::unique_lock<std::recursive_mutex> guard(mutex_);
    PyEval_RestoreThread(thread);
    PyObject* value = value_.load(std::memory_order_acquire);
    if (value == nullptr) {
      PyObject* made = init();
      // Python code run by `init` may have re-entered Get() on this thread
      // (the mutex is recursive) and filled the cell already; keep that one.
      value = value_.load(std::memory_order_acquire);
      if (value != nullptr) {
        if (made == nullptr) PyErr_Clear();
        Py_XDECREF(made);
      } else if (made != nullptr) {
        value_.store(made, std::memory_order_release);
        value = made;
      }
    }
    return value;
  }

  // The object if the cell is filled, else null.  Never blocks.
  PyObject* Peek() const { return value_.load(std::memory_order_acquire); }

 private:
  std::recursive_mutex mutex_;
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_ONCE_CELL_H_
