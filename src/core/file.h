// Owners of operating-system resources and the few system calls the store
// makes.  Every wrapper retries EINTR, continues short writes, opens with
// O_CLOEXEC, and turns errno into the "{text} (os error {n})" form.
// Objects here are movable, not copyable; destructors release.
#ifndef VORLSTORE_CORE_FILE_H_
#define VORLSTORE_CORE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/status.h"

namespace vorl {

// An open file descriptor, closed by the destructor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor now; a failure to close is ignored.
  void reset();

 private:
  int fd_ = -1;
};

// A read-only, shared mapping of a whole file, unmapped by the destructor.
// A file of length 0 has no mapping: data() is null and size() is 0.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  // Maps `size` bytes of `fd` from offset 0.  On failure returns the errno.
  static Result<Mapping> Map(int fd, std::uint64_t size);

  const unsigned char* data() const { return data_; }
  std::uint64_t size() const { return size_; }

 private:
  Mapping(const unsigned char* data, std::uint64_t size) : data_(data), size_(size) {}
  const unsigned char* data_ = nullptr;
  std::uint64_t size_ = 0;
};

// Opens `path` with `flags` | O_CLOEXEC (mode for O_CREAT), retrying EINTR.
// The error is the errno, or -1 when the path holds a NUL byte.
struct OpenOutcome {
  UniqueFd fd;
  int error = 0;  // 0 on success
};
OpenOutcome OpenFile(std::string_view path, int flags, unsigned mode = 0);

// The text that describes an OpenFile failure: the system error text, or the
// NUL-byte text for error -1.
std::string OpenErrorText(int error);

// Writes all of [data, data + size) to fd, retrying EINTR and continuing
// partial writes.  A write that reports zero bytes fails with `zero_text`.
Status WriteAll(int fd, const void* data, std::size_t size, std::string_view zero_text);

// fsync, retried on EINTR.
Status SyncFd(int fd);

// A write buffer of a fixed capacity in front of a descriptor.  Pieces
// shorter than the room left are copied in; otherwise the buffer is written
// out and the piece goes out directly when it is at least the capacity, or
// into the emptied buffer when it is smaller.
class BufferedWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;

  explicit BufferedWriter(int fd);
  Status Append(const void* data, std::size_t size);
  Status Flush();

 private:
  int fd_;
  std::size_t used_ = 0;
  std::string buffer_;
};

// ---------------------------------------------------------------------------
// Process resources that are not files: random bytes and anonymous memory.

// Fills [out, out + size) from the system's random source: the getrandom
// call, or /dev/urandom where that call is missing or refused.  False when
// neither supplies the bytes.
bool ReadSystemRandom(void* out, std::size_t size);

// `length` bytes of zero-filled private read-write memory, or null.
void* MapAnonymous(std::size_t length);
// Releases [p, p + length) of memory from MapAnonymous; failures are ignored
// (the range is ours, so only a bug could make munmap fail).
void UnmapAnonymous(void* p, std::size_t length);
// Asks for transparent huge pages over [p, p + length).  Advice only.
void AdviseHugePages(void* p, std::size_t length);
// Replaces the pages of [p, p + length) with private zero pages in place.
// Async-signal-safe.  REQUIRES: p and length are page-aligned.
bool MapZeroPagesOver(const void* p, std::size_t length);

}  // namespace vorl

#endif  // VORLSTORE_CORE_FILE_H_
