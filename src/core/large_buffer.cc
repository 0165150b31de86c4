#include "core/large_buffer.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "core/file.h"
#include "core/status.h"

namespace vorl {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t RoundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

LargeBuffer::LargeBuffer(std::size_t bytes) {
  if (bytes == 0) return;
  if (bytes < kHugePage) {
    data_ = std::calloc(1, bytes);
    if (data_ == nullptr) throw AllocationFailure(bytes);
    return;
  }
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t length = RoundUp(bytes, page);
  // Map one huge page more than needed and cut the block out on a 2 MiB
  // boundary; the kernel uses huge pages only for aligned 2 MiB ranges.
  if (length > SIZE_MAX - kHugePage) throw AllocationFailure(bytes);
  const std::size_t span = length + kHugePage;
  void* p = MapAnonymous(span);
  if (p == nullptr) throw AllocationFailure(bytes);
  auto* start = static_cast<char*>(p);
  const std::size_t head = (kHugePage - reinterpret_cast<std::uintptr_t>(start) % kHugePage) % kHugePage;
  char* aligned = start + head;
  if (head > 0) UnmapAnonymous(start, head);
  const std::size_t tail = span - head - length;
  if (tail > 0) UnmapAnonymous(aligned + length, tail);
  // Only advice: without transparent huge pages the block still works.
  AdviseHugePages(aligned, length);
  data_ = aligned;
  mapped_bytes_ = length;
}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
  if (this != &other) {
    Release();
    data_ = std::exchange(other.data_, nullptr);
    mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
  }
  return *this;
}

void LargeBuffer::Release() noexcept {
  if (mapped_bytes_ != 0) {
    UnmapAnonymous(data_, mapped_bytes_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  mapped_bytes_ = 0;
}

}  // namespace vorl
