#include "core/file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vorl {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void UniqueFd::reset() {
  if (fd_ >= 0) {
    // On Linux the descriptor is released even when close reports EINTR, so
    // retrying could close a descriptor another thread just opened.
    ::close(fd_);
    fd_ = -1;
  }
}

Mapping::Mapping(Mapping&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    this->~Mapping();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

Mapping::~Mapping() {
  if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), static_cast<std::size_t>(size_));
}

Result<Mapping> Mapping::Map(int fd, std::uint64_t size) {
  if (size == 0) return Mapping();
  if (size > SIZE_MAX) return Status::IO(SystemErrorText(ENOMEM));
  void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return Status::IO(SystemErrorText(errno));
  return Mapping(static_cast<const unsigned char*>(p), size);
}

OpenOutcome OpenFile(std::string_view path, int flags, unsigned mode) {
  OpenOutcome out;
  if (path.find('\0') != std::string_view::npos) {
    out.error = -1;
    return out;
  }
  const std::string c_path(path);
  int fd;
  do {
    fd = ::open(c_path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    out.error = errno;
  } else {
    out.fd = UniqueFd(fd);
  }
  return out;
}

std::string OpenErrorText(int error) {
  return error == -1 ? std::string(kNulInPathText) : SystemErrorText(error);
}

Status WriteAll(int fd, const void* data, std::size_t size, std::string_view zero_text) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::IO(SystemErrorText(errno));
    }
    if (n == 0) return Status::IO(std::string(zero_text));
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

Status SyncFd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return Status::IO(SystemErrorText(errno));
  }
  return {};
}

BufferedWriter::BufferedWriter(int fd) : fd_(fd), buffer_(kCapacity, '\0') {}

Status BufferedWriter::Append(const void* data, std::size_t size) {
  // An empty piece may come with a null pointer, which memcpy must not see.
  if (size == 0) return {};
  if (size < kCapacity - used_) {
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
    return {};
  }
  if (Status s = Flush(); !s.ok()) return s;
  if (size >= kCapacity) return WriteAll(fd_, data, size, "failed to write whole buffer");
  std::memcpy(buffer_.data(), data, size);
  used_ = size;
  return {};
}

Status BufferedWriter::Flush() {
  const std::size_t pending = used_;
  used_ = 0;
  return WriteAll(fd_, buffer_.data(), pending, "failed to write the buffered data");
}

}  // namespace vorl
