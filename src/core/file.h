// Owners of operating-system resources and the system calls the store makes
// on files: opening, stat, mapping, locking, writing, syncing, renaming and
// closing all happen in file.cc.  Every wrapper retries EINTR, continues
// short writes, opens with O_CLOEXEC, and turns errno into a Status that
// keeps the errno and the operation (and the path, where the wrapper knows
// it).  Objects here are movable, not copyable; destructors release.
//
// PendingFile is the one way a store file is published: a locked temporary
// file beside the target, filled, synced and renamed over the target.
#ifndef VORLSTORE_CORE_FILE_H_
#define VORLSTORE_CORE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
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

  // Advice for one front-to-back pass: read ahead aggressively.  Normal()
  // returns to the default for random lookups.  Failures are ignored: advice
  // only changes speed.
  void AdviseSequential() const;
  void AdviseNormal() const;
  // Unmaps the pages wholly inside [offset, offset + length) from this
  // process.  The file is unchanged and the next read of them maps them
  // again from the page cache, so a long pass keeps few pages resident.
  void DropPages(std::uint64_t offset, std::uint64_t length) const;

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

// The I/O status of an OpenFile failure for `op` on `path`: the errno, or
// for error -1 the NUL-byte text with no errno.
Status OpenError(Operation op, int error, std::string_view path = {});

// Why a file that is not a regular one is refused.
inline constexpr std::string_view kNotRegularFileText = "not a regular file";

// What fstat says about an open descriptor.
struct FileStat {
  std::uint64_t size = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool regular = false;
  bool directory = false;
};
Result<FileStat> StatFd(int fd);

// Writes `text` to descriptor 1 directly, not through stdio.
Status WriteStdout(std::string_view text);

// Writes all of [data, data + size) to fd, retrying EINTR and continuing
// partial writes.  A write that reports zero bytes fails with `zero_text`.
Status WriteAll(int fd, const void* data, std::size_t size, std::string_view zero_text);

// fsync, retried on EINTR.
Status SyncFd(int fd);

// Asks the system to start writing [offset, offset + length) of fd to its
// device and returns without waiting.  Only a hint: failures are ignored,
// and the fsync that follows reports real ones.
void StartWriteback(int fd, std::uint64_t offset, std::uint64_t length);

// A write buffer of a fixed capacity in front of a descriptor.  Pieces
// shorter than the room left are copied in; otherwise the buffer is written
// out and the piece goes out directly when it is at least the capacity, or
// into the emptied buffer when it is smaller.
//
// Every kWriteBehind bytes written, the system is asked to start writing
// them to the device (without waiting): the fsync of a large file then finds
// most of it written while the caller went on working, instead of starting
// the whole transfer itself.  Direct pieces go out in steps of that size.
class BufferedWriter {
 public:
  static constexpr std::size_t kCapacity = 8192;
  static constexpr std::size_t kWriteBehind = std::size_t{8} << 20;

  explicit BufferedWriter(int fd);
  Status Append(const void* data, std::size_t size);
  Status Flush();
  // Bytes handed to Append so far, flushed or not.
  std::uint64_t position() const { return position_; }
  // Carries on as if `position` bytes had been written.  REQUIRES: nothing
  // is buffered (after Flush), and the descriptor's offset is `position`.
  void Restart(std::uint64_t position) { position_ = written_ = written_back_ = position; }

 private:
  // Writes to the descriptor, then starts writeback of what has gathered.
  Status Write(const void* data, std::size_t size, std::string_view zero_text);

  int fd_;
  std::size_t used_ = 0;
  std::uint64_t position_ = 0;
  std::uint64_t written_ = 0;       // bytes written to the descriptor
  std::uint64_t written_back_ = 0;  // of which writeback was asked for
  std::string buffer_;
};

// Asked while a publish waits or before it becomes visible; returns true to
// stop.  The callback may leave its own reason behind (the Python binding
// leaves the pending exception); the publish then fails with kCancelled.
using CancelCheck = std::function<bool()>;

// A store file on its way to `target`: the temporary file beside it (see
// TemporaryPathFor), opened without following links, refused unless it is a
// regular file, locked exclusively and emptied.  Two builds of one target
// share the temporary name; the lock makes them take turns instead of
// writing one file at once.
//
// Append() writes through an 8 KiB buffer, WriteAt() patches bytes already
// appended (a header filled in last).  Commit() publishes; Discard() removes
// the temporary file.  Destroying a PendingFile that was neither committed
// nor discarded closes it and leaves the temporary file where it is, so that
// a failed build can be looked at.
class PendingFile {
 public:
  PendingFile(PendingFile&&) noexcept = default;
  PendingFile& operator=(PendingFile&&) noexcept = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() = default;

  // Opens and locks the temporary file of `target`.  While another build
  // holds the lock it waits in short steps and asks `cancel` (if set)
  // between them.  Failures read "open tmp: ..." with the system text.
  static Result<PendingFile> Create(std::string_view target, const CancelCheck& cancel = {});

  Status Append(const void* data, std::size_t size) {
    Status s = out_.Append(data, size);
    if (!s.ok()) [[unlikely]]
      return AboutTarget(s);
    return s;
  }
  // REQUIRES: offset + size <= bytes appended so far.
  Status WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  // Reads back bytes already appended.  REQUIRES: offset + size <= bytes
  // appended so far.
  Status ReadAt(std::uint64_t offset, void* data, std::size_t size);
  // Cuts the file to its first `size` bytes; appending goes on from there.
  // REQUIRES: size <= bytes appended so far.
  Status Truncate(std::uint64_t size);

  // Flushes, fsyncs, asks `cancel` one last time, renames the temporary
  // file over the target, syncs the directory and closes.  Once the rename
  // has succeeded the publish counts as done: when the directory cannot even
  // be opened the whole file system is synced instead, and only a sync that
  // really fails is reported ("sync dir: ...").  Failures before the rename
  // leave the temporary file in place and the target untouched.
  Status Commit(const CancelCheck& cancel = {});

  // Closes and removes the temporary file.  For builders that give up.
  void Discard();

  const std::string& temporary_path() const { return tmp_path_; }

 private:
  PendingFile(std::string target, std::string tmp_path, UniqueFd fd);
  // A write failure as one on the target: the path every caller knows.
  Status AboutTarget(const Status& failure) const;

  std::string target_;
  std::string tmp_path_;
  UniqueFd fd_;
  BufferedWriter out_;
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
