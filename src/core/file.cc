#include "core/file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
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

// ---------------------------------------------------------------------------
// Process resources that are not files.

namespace {

bool FillFromGetrandom(unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::getrandom(out + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;  // ENOSYS on kernels without the call, or a sandbox refusal
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool FillFromUrandom(unsigned char* out, std::size_t size) {
  OpenOutcome opened = OpenFile("/dev/urandom", O_RDONLY);
  if (!opened.fd.valid()) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(opened.fd.get(), out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadSystemRandom(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  return FillFromGetrandom(bytes, size) || FillFromUrandom(bytes, size);
}

void* MapAnonymous(std::size_t length) {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  return p;
}

void UnmapAnonymous(void* p, std::size_t length) { ::munmap(p, length); }

void AdviseHugePages(void* p, std::size_t length) { ::madvise(p, length, MADV_HUGEPAGE); }

bool MapZeroPagesOver(const void* p, std::size_t length) {
  // Read-only like the file mapping it replaces; MAP_FIXED swaps the pages
  // atomically, so other threads never see a hole.  The pages become part
  // of the mapping they replace, whose owner unmaps them.
  return ::mmap(const_cast<void*>(p), length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
         MAP_FAILED;
}

}  // namespace vorl
