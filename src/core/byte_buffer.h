// ByteBuffer: a byte buffer grown with realloc.  glibc resizes large blocks
// by remapping their pages, so growing a big buffer neither copies it nor
// holds two copies of it at once, as a std::string's growth would.  The
// writer keeps its object section and its key bytes in these.
//
// Throws AllocationFailure like the standard containers throw bad_alloc;
// the contents stay intact then.  Not thread-safe.
#ifndef VORLSTORE_CORE_BYTE_BUFFER_H_
#define VORLSTORE_CORE_BYTE_BUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "core/status.h"

namespace vorl {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(data_); }

  // Room for n more bytes at the end, counted in size() at once.
  unsigned char* Extend(std::size_t n) {
    if (n > capacity_ - size_) {
      // A quarter more each time: few reallocations, little unused room.
      std::size_t capacity = capacity_ + std::max(capacity_ / 4, std::size_t{4096});
      if (capacity < size_ + n) capacity = size_ + n;
      void* grown = std::realloc(data_, capacity);
      if (grown == nullptr) throw AllocationFailure(capacity);
      data_ = static_cast<unsigned char*>(grown);
      capacity_ = capacity;
    }
    unsigned char* end = data_ + size_;
    size_ += n;
    return end;
  }
  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_BYTE_BUFFER_H_
