#include "core/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/path.h"

namespace vorl {
namespace {

FileStat FromStat(const struct stat& st) {
  FileStat out;
  out.size = static_cast<std::uint64_t>(st.st_size);
  out.device = static_cast<std::uint64_t>(st.st_dev);
  out.inode = static_cast<std::uint64_t>(st.st_ino);
  out.regular = S_ISREG(st.st_mode);
  out.directory = S_ISDIR(st.st_mode);
  return out;
}

bool HasNul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

void SleepMicroseconds(long micros) {
  const timespec step{micros / 1000000, (micros % 1000000) * 1000};
  // An interrupted sleep ends early, which is what a waiting caller wants:
  // it asks its cancellation callback sooner.
  ::nanosleep(&step, nullptr);
}

// Takes an exclusive lock on `fd`, waiting while another build holds it.
// The wait is a series of non-blocking attempts with sleeps of 1 ms growing
// to 50 ms between them, so that `cancel` is asked while the wait lasts: a
// blocking flock would keep a Ctrl-C waiting until the other build ends.
// File systems without locks are used unlocked.
Status LockExclusive(int fd, const CancelCheck& cancel) {
  constexpr long kLongestStep = 50'000;
  for (long step = 1'000;; step = std::min(step * 2, kLongestStep)) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return {};
    const int error = errno;
    if (error == ENOLCK || error == EOPNOTSUPP) return {};
    if (error != EWOULDBLOCK && error != EINTR) return Status::IO(Operation::kOpenTemporary, error);
    if (cancel && cancel()) return Status::Cancelled();
    if (error == EWOULDBLOCK) SleepMicroseconds(step);
  }
}

// Opens the temporary file for writing (and reading back), locked and empty.  The lock is taken
// before the file is truncated, so a waiting build never touches bytes
// another build is writing.  Once it has the lock it checks that the name
// still refers to the file it locked: the build it waited for may have
// renamed that file over the target, and then it starts again with a new
// file.  A link at the temporary name is never followed (anyone who can
// write the directory could otherwise point a build at another file), and
// O_NONBLOCK keeps a FIFO there from blocking the open.
Result<UniqueFd> OpenLockedTemporary(const std::string& tmp_path, const CancelCheck& cancel) {
  constexpr Operation kOp = Operation::kOpenTemporary;
  while (true) {
    OpenOutcome opened = OpenFile(tmp_path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
    if (!opened.fd.valid()) {
      // ENXIO: a FIFO nobody reads, a socket or a device without hardware.
      if (opened.error == ENXIO) return Status::IO(kOp, std::string(kNotRegularFileText));
      return OpenError(kOp, opened.error);
    }
    const int fd = opened.fd.get();
    Result<FileStat> by_fd = StatFd(fd);
    if (!by_fd.ok()) return by_fd.status().During(kOp);
    if (!by_fd.value().regular) return Status::IO(kOp, std::string(kNotRegularFileText));
    if (Status s = LockExclusive(fd, cancel); !s.ok()) return s;
    struct stat by_name {};
    if (::lstat(tmp_path.c_str(), &by_name) != 0) {
      // Renamed away while we waited (or interrupted): start again.
      if (errno == ENOENT || errno == EINTR) continue;
      return Status::IO(kOp, errno);
    }
    if (by_fd.value().device != static_cast<std::uint64_t>(by_name.st_dev) ||
        by_fd.value().inode != static_cast<std::uint64_t>(by_name.st_ino)) {
      continue;
    }
    int truncated;
    do {
      truncated = ::ftruncate(fd, 0);
    } while (truncated != 0 && errno == EINTR);
    if (truncated != 0) return Status::IO(kOp, errno);
    return std::move(opened.fd);
  }
}

// Makes the new directory entry durable.  A directory that may be written
// and searched but not read cannot be opened; the rename has happened by
// then, so instead of reporting a failure for a store that is in place, the
// file system holding it is synced through the published file's descriptor.
Status SyncDirectory(const std::string& dir, int published_fd) {
  OpenOutcome opened = OpenFile(dir, O_RDONLY | O_DIRECTORY);
  if (!opened.fd.valid()) {
    while (::syncfs(published_fd) != 0) {
      if (errno != EINTR) return Status::IO(Operation::kSyncDirectory, errno, dir);
    }
    return {};
  }
  if (Status s = SyncFd(opened.fd.get()); !s.ok())
    return Status::IO(Operation::kSyncDirectory, s.sys_errno(), dir);
  return {};
}

}  // namespace

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
  if (size > SIZE_MAX) return Status::IO(Operation::kMap, ENOMEM);
  void* p = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return Status::IO(Operation::kMap, errno);
  return Mapping(static_cast<const unsigned char*>(p), size);
}

void Mapping::AdviseSequential() const {
  if (data_ != nullptr) ::madvise(const_cast<unsigned char*>(data_), size_, MADV_SEQUENTIAL);
}

void Mapping::AdviseNormal() const {
  if (data_ != nullptr) ::madvise(const_cast<unsigned char*>(data_), size_, MADV_NORMAL);
}

void Mapping::DropPages(std::uint64_t offset, std::uint64_t length) const {
  if (offset >= size_) return;
  length = std::min(length, size_ - offset);
  // The mapping starts on a page boundary; only whole pages are dropped.
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t begin = (offset + page - 1) / page * page;
  const std::uint64_t end = (offset + length) / page * page;
  if (begin >= end) return;
  ::madvise(const_cast<unsigned char*>(data_) + begin, static_cast<std::size_t>(end - begin), MADV_DONTNEED);
}

OpenOutcome OpenFile(std::string_view path, int flags, unsigned mode) {
  OpenOutcome out;
  if (HasNul(path)) {
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

Status OpenError(Operation op, int error, std::string_view path) {
  if (error == -1) return Status::IO(op, std::string(kNulInPathText), std::string(path));
  return Status::IO(op, error, std::string(path));
}

Result<FileStat> StatFd(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Status::IO(Operation::kNone, errno);
  return FromStat(st);
}

Status WriteAll(int fd, const void* data, std::size_t size, std::string_view zero_text) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::IO(Operation::kWrite, errno);
    }
    if (n == 0) return Status::IO(Operation::kWrite, std::string(zero_text));
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

Status WriteStdout(std::string_view text) {
  return WriteAll(STDOUT_FILENO, text.data(), text.size(), "failed to write whole buffer");
}

Status SyncFd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return Status::IO(Operation::kSync, errno);
  }
  return {};
}

void StartWriteback(int fd, std::uint64_t offset, std::uint64_t length) {
  // EINTR needs no retry: the hint can be dropped.
  (void)::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length),
                          SYNC_FILE_RANGE_WRITE);
}

BufferedWriter::BufferedWriter(int fd) : fd_(fd), buffer_(kCapacity, '\0') {}

Status BufferedWriter::Append(const void* data, std::size_t size) {
  // An empty piece may come with a null pointer, which memcpy must not see.
  if (size == 0) return {};
  position_ += size;
  if (size < kCapacity - used_) {
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
    return {};
  }
  if (Status s = Flush(); !s.ok()) return s;
  if (size < kCapacity) {
    std::memcpy(buffer_.data(), data, size);
    used_ = size;
    return {};
  }
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t done = 0; done < size;) {
    const std::size_t n = std::min(size - done, kWriteBehind);
    if (Status s = Write(p + done, n, "failed to write whole buffer"); !s.ok()) return s;
    done += n;
  }
  return {};
}

Status BufferedWriter::Flush() {
  const std::size_t pending = used_;
  used_ = 0;
  return Write(buffer_.data(), pending, "failed to write the buffered data");
}

Status BufferedWriter::Write(const void* data, std::size_t size, std::string_view zero_text) {
  if (Status s = WriteAll(fd_, data, size, zero_text); !s.ok()) return s;
  written_ += size;
  if (written_ - written_back_ >= kWriteBehind) {
    StartWriteback(fd_, written_back_, written_ - written_back_);
    written_back_ = written_;
  }
  return {};
}

PendingFile::PendingFile(std::string target, std::string tmp_path, UniqueFd fd)
    : target_(std::move(target)), tmp_path_(std::move(tmp_path)), fd_(std::move(fd)), out_(fd_.get()) {}

Result<PendingFile> PendingFile::Create(std::string_view target, const CancelCheck& cancel) {
  std::string tmp_path = TemporaryPathFor(target);
  Result<UniqueFd> fd = OpenLockedTemporary(tmp_path, cancel);
  if (!fd.ok()) return fd.status().During(Operation::kOpenTemporary, target);
  return PendingFile(std::string(target), std::move(tmp_path), std::move(fd).value());
}

Status PendingFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  // Patched bytes may still sit in the buffer, where the next flush would
  // write them over the patch.
  if (Status s = out_.Flush(); !s.ok()) return AboutTarget(s);
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_.get(), p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return AboutTarget(Status::IO(Operation::kWrite, errno));
    }
    if (n == 0) return AboutTarget(Status::IO(Operation::kWrite, "failed to write whole buffer"));
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

Status PendingFile::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
  // The bytes asked for may still sit in the buffer.
  if (Status s = out_.Flush(); !s.ok()) return AboutTarget(s);
  auto* p = static_cast<unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd_.get(), p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::IO(Operation::kReadTemporary, errno, target_);
    }
    if (n == 0) {
      return Status::IO(Operation::kReadTemporary,
                        "unexpected end of file at offset " + std::to_string(offset), target_);
    }
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

Status PendingFile::Truncate(std::uint64_t size) {
  if (Status s = out_.Flush(); !s.ok()) return AboutTarget(s);
  int done;
  do {
    done = ::ftruncate(fd_.get(), static_cast<off_t>(size));
  } while (done != 0 && errno == EINTR);
  if (done != 0) return Status::IO(Operation::kTruncateTemporary, errno, target_);
  if (::lseek(fd_.get(), static_cast<off_t>(size), SEEK_SET) < 0) {
    return Status::IO(Operation::kSeekTemporary, errno, target_);
  }
  out_.Restart(size);
  return {};
}

Status PendingFile::Commit(const CancelCheck& cancel) {
  if (Status s = out_.Flush(); !s.ok()) return AboutTarget(s);
  if (Status s = SyncFd(fd_.get()); !s.ok()) return AboutTarget(s);
  // The last moment at which stopping leaves the target untouched.
  if (cancel && cancel()) return Status::Cancelled();
  // A path holding a NUL byte would be cut short by the system call and
  // publish under another name.
  if (HasNul(target_)) return Status::IO(Operation::kRename, std::string(kNulInPathText), target_);
  // The lock is held until the file has its final name, so that no other
  // build can truncate it in between.
  if (::rename(tmp_path_.c_str(), target_.c_str()) != 0)
    return Status::IO(Operation::kRename, errno, target_);
  Status synced = SyncDirectory(ParentDirectory(target_), fd_.get());
  fd_.reset();  // releases the lock; a failure to close is ignored
  return synced;
}

Status PendingFile::AboutTarget(const Status& failure) const {
  return failure.During(Operation::kWrite, target_);
}

void PendingFile::Discard() {
  // Removed while still locked: a build waiting for the lock then finds the
  // name gone and starts with a new file.
  if (fd_.valid()) ::unlink(tmp_path_.c_str());
  fd_.reset();
}

}  // namespace vorl
