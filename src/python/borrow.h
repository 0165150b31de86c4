// The per-instance borrow: any number of shared borrows or one exclusive
// borrow at a time, so that a method re-entered from Python code (or run by
// another thread) while a mutation is under way is refused instead of
// seeing half-changed state.  The counter is atomic so that instances stay
// consistent where the interpreter has no global lock.
#ifndef VORLSTORE_PYTHON_BORROW_H_
#define VORLSTORE_PYTHON_BORROW_H_

#include <Python.h>

#include <atomic>

namespace vorl::py {

enum class BorrowKind { kShared, kExclusive };

// Holds one borrow of a counter (0 when free, n > 0 for n shared borrows,
// -1 for the exclusive borrow) and gives it back when destroyed, so that
// every exit of the frame releases it.
class BorrowGuard {
 public:
  BorrowGuard() = default;
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() { Release(); }

  // On conflict set RuntimeError ("Already mutably borrowed" for a shared
  // request, "Already borrowed" for an exclusive one) and return false.
  bool Acquire(std::atomic<Py_ssize_t>& counter, BorrowKind kind) noexcept;
  void Release() noexcept;

 private:
  std::atomic<Py_ssize_t>* counter_ = nullptr;
  BorrowKind kind_ = BorrowKind::kShared;
};

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_BORROW_H_
