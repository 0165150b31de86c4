#include "python/borrow.h"

namespace vorl::py {

bool BorrowGuard::Acquire(std::atomic<Py_ssize_t>& counter, BorrowKind kind) noexcept {
  if (kind == BorrowKind::kExclusive) {
    Py_ssize_t expected = 0;
    if (!counter.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
  } else {
    Py_ssize_t current = counter.load(std::memory_order_relaxed);
    do {
      if (current == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
    } while (!counter.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                            std::memory_order_relaxed));
  }
  counter_ = &counter;
  kind_ = kind;
  return true;
}

void BorrowGuard::Release() noexcept {
  if (counter_ == nullptr) return;
  if (kind_ == BorrowKind::kExclusive) {
    counter_->store(0, std::memory_order_release);
  } else {
    counter_->fetch_sub(1, std::memory_order_release);
  }
  counter_ = nullptr;
}

}  // namespace vorl::py
