// MappingGuard: keeps a reader alive when its file shrinks under the mapping.
//
// Our writer only renames new files into place, but other programs (a copy
// tool, a shell redirect, a sync client) rewrite files in place.  Touching a
// mapped page that now lies past the file's end raises SIGBUS, which would
// kill the process.  A guard registers its mapping's range in a process-wide
// registry.  The SIGBUS handler, installed once by the first guard, maps a
// zero page over a faulting page inside a registered range and marks that
// guard, so the read finishes on zeros; the reader then calls Check() after
// it has copied or checksummed what it read and reports the corrupt error
// instead of the zeros.  Every other SIGBUS goes to the handler that was
// installed before ours; when that was the default action, the process ends
// as it would have without us.
//
// A mark is permanent: the zero page stays and the file is no longer the one
// that was opened, so every later Check() fails too.
//
// Move-only; the destructor unregisters, and must run before the range is
// unmapped.  Check() may be called from any number of threads.
#ifndef VORLSTORE_CORE_MAPPING_GUARD_H_
#define VORLSTORE_CORE_MAPPING_GUARD_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "core/status.h"

namespace vorl {

class MappingGuard {
 public:
  MappingGuard() = default;
  // Guards [data, data + size).  An empty range needs no guard.
  MappingGuard(const unsigned char* data, std::uint64_t size);
  MappingGuard(MappingGuard&&) noexcept = default;
  MappingGuard& operator=(MappingGuard&& other) noexcept;
  MappingGuard(const MappingGuard&) = delete;
  MappingGuard& operator=(const MappingGuard&) = delete;
  ~MappingGuard();

  // OK, or the corrupt error "file changed while open: ..." when a read of
  // the range has faulted since the guard was made.  Cheap: one load.
  Status Check() const {
    if (state_ == nullptr || !state_->faulted.load(std::memory_order_acquire)) [[likely]] {
      return {};
    }
    return ChangedError();
  }
  // `outcome` of work that read the range, unless Check() fails: zeros read
  // in place of a vanished page explain whatever that work concluded.
  Status Overriding(Status outcome) const {
    Status changed = Check();
    return changed.ok() ? std::move(outcome) : changed;
  }

  // What the registry knows about one guarded range; the handler reads it.
  struct State {
    std::uintptr_t begin = 0;
    std::size_t size = 0;
    std::atomic<std::uint64_t> fault_offset{0};  // valid once `faulted`
    std::atomic<bool> faulted{false};
  };

 private:
  Status ChangedError() const;
  void Unregister() noexcept;

  std::unique_ptr<State> state_;  // its address is what the registry holds
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_MAPPING_GUARD_H_
