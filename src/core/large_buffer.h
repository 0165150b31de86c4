// LargeBuffer: zero-filled memory for a big array that is read at random,
// such as the reader's hash table.
//
// Blocks of 2 MiB or more are mapped privately on 2 MiB boundaries and
// advised for transparent huge pages.  A lookup in a large index touches a
// few places at random, and with 4 KiB pages each of them costs a TLB miss
// (a page walk, which under a hypervisor is itself several memory accesses)
// on top of the cache miss; with 2 MiB pages the whole index fits the TLB.
// Smaller blocks come from calloc.  Either way untouched memory costs
// address space only.
//
// Move-only; the destructor frees.  Not thread-safe to change; any number of
// threads may read the memory.
#ifndef VORLSTORE_CORE_LARGE_BUFFER_H_
#define VORLSTORE_CORE_LARGE_BUFFER_H_

#include <cstddef>
#include <utility>

namespace vorl {

class LargeBuffer {
 public:
  LargeBuffer() = default;
  // `bytes` zero bytes.  Throws AllocationFailure when they cannot be had.
  explicit LargeBuffer(std::size_t bytes);
  LargeBuffer(LargeBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), mapped_bytes_(std::exchange(other.mapped_bytes_, 0)) {}
  LargeBuffer& operator=(LargeBuffer&& other) noexcept;
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  ~LargeBuffer() { Release(); }

  void* data() const { return data_; }

 private:
  void Release() noexcept;

  void* data_ = nullptr;
  std::size_t mapped_bytes_ = 0;  // 0 when the block came from calloc
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_LARGE_BUFFER_H_
