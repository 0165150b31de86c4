// Status: the store core's one error type, and Result<T> for values that may
// fail.  A Status holds facts: its kind, and for a failure of the operating
// system the errno, the operation that failed and the file it was about;
// otherwise a message naming the failed check.  How a failure reads is each
// binding's choice (src/python/errors.cc, src/engine/errors.cc): the core
// composes no display text.  An OK status holds nothing and costs one byte
// to test.  The core never throws across its API and never prints: every
// failure travels back to the caller as one of these values.
#ifndef VORLSTORE_CORE_STATUS_H_
#define VORLSTORE_CORE_STATUS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vorl {

enum class ErrorKind : std::uint8_t {
  kOk,
  kCorrupt,    // the file breaks a format rule
  kVersion,    // the version byte is not one this code reads
  kIO,         // the operating system refused an operation
  kOther,      // a caller's request the store cannot honour
  kInternal,   // a fault of our own or of the process (e.g. stdout failed)
  kCancelled,  // the caller's cancellation callback asked to stop
};

// The step an I/O error happened in.
enum class Operation : std::uint8_t {
  kNone,
  kOpen,               // opening a store file to read it
  kMap,                // measuring or mapping it
  kOpenTemporary,      // creating, locking or emptying a build's temporary file
  kWrite,              // writing to a file
  kSync,               // flushing a file to its device
  kRename,             // renaming the temporary file over the target
  kSyncDirectory,      // making that rename durable
  kReadTemporary,      // reading back what a build wrote
  kTruncateTemporary,  // cutting a build's temporary file short
  kSeekTemporary,      // moving its write position
};

// A short name of the operation for logs and tests ("open", "map", ...).
std::string_view OperationName(Operation op);

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(const Status& other) : kind_(other.kind_), detail_(other.detail_ ? new Detail(*other.detail_) : nullptr) {}
  Status& operator=(const Status& other) {
    if (this != &other) *this = Status(other);
    return *this;
  }
  // A moved-from status is OK.
  Status(Status&& other) noexcept
      : kind_(std::exchange(other.kind_, ErrorKind::kOk)), detail_(std::move(other.detail_)) {}
  Status& operator=(Status&& other) noexcept {
    kind_ = std::exchange(other.kind_, ErrorKind::kOk);
    detail_ = std::move(other.detail_);
    return *this;
  }

  static Status Corrupt(std::string message) { return {ErrorKind::kCorrupt, std::move(message)}; }
  // The operating system refused `op` on `path` with `sys_errno`.
  static Status IO(Operation op, int sys_errno, std::string path = {}) {
    Status s{ErrorKind::kIO, {}};
    s.detail_->sys_errno = sys_errno;
    s.detail_->operation = op;
    s.detail_->path = std::move(path);
    return s;
  }
  // An I/O failure with no errno behind it (a file of the wrong type, a
  // path the system cannot be given); `detail` says what was wrong.
  static Status IO(Operation op, std::string detail, std::string path = {}) {
    Status s{ErrorKind::kIO, std::move(detail)};
    s.detail_->operation = op;
    s.detail_->path = std::move(path);
    return s;
  }
  static Status Cancelled() { return {ErrorKind::kCancelled, "the caller asked to stop"}; }
  static Status Other(std::string message) { return {ErrorKind::kOther, std::move(message)}; }
  // `sys_errno`: the errno of a system call the fault came from, if any.
  static Status Internal(std::string message, int sys_errno = 0) {
    Status s{ErrorKind::kInternal, std::move(message)};
    s.detail_->sys_errno = sys_errno;
    return s;
  }
  static Status UnsupportedVersion(std::uint8_t version) {
    Status s{ErrorKind::kVersion, {}};
    s.detail_->version = version;
    return s;
  }

  bool ok() const { return kind_ == ErrorKind::kOk; }
  ErrorKind kind() const { return kind_; }
  // The failed check, without the kind's name; for an I/O error with an
  // errno, empty (the errno says it).  For kVersion "unsupported version N".
  std::string message() const;
  std::uint8_t version() const { return detail_ ? detail_->version : 0; }
  // The errno behind an I/O error, 0 when there is none.
  int sys_errno() const { return detail_ ? detail_->sys_errno : 0; }
  Operation operation() const { return detail_ ? detail_->operation : Operation::kNone; }
  // The file the failed operation was about; empty when it was about none.
  const std::string& path() const;
  // The same error as the failure of `op` on `path`, for a lower layer's
  // error that did not know them; what it already knows stays.
  // REQUIRES: !ok().
  Status During(Operation op, std::string_view path = {}) const;
  // The same error with `prefix` put before its message.  REQUIRES: !ok(),
  // and kind() is neither kVersion nor an I/O error with an errno.
  Status Prefixed(std::string_view prefix) const;
  // For logs and tests: the kind's name and the facts but the path, e.g.
  // "corrupt: file too small for header", "io: open tmp: errno 2 (No such
  // file or directory)".  How an error looks to Python is each binding's.
  std::string ToString() const;

 private:
  // Everything but the kind, kept apart so that an OK status, which most
  // calls return, is a byte and a null pointer to make and to destroy.
  struct Detail {
    std::string message;
    std::string path;
    int sys_errno = 0;
    Operation operation = Operation::kNone;
    std::uint8_t version = 0;
  };

  Status(ErrorKind kind, std::string message) : kind_(kind), detail_(new Detail) {
    detail_->message = std::move(message);
  }

  ErrorKind kind_ = ErrorKind::kOk;
  std::unique_ptr<Detail> detail_;  // null exactly when OK
};

// A value or the Status explaining why there is none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}          // NOLINT(google-explicit-constructor)
  Result(Status status) : status_(std::move(status)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return status_.ok(); }
  const Status& status() const& { return status_; }
  Status&& status() && { return std::move(status_); }
  // REQUIRES: ok().
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }

 private:
  Status status_;
  std::optional<T> value_;
};

// Thrown, like std::bad_alloc by the standard containers, when one of the
// core's own buffers cannot grow.  It carries the size asked for, so that the
// process can say how much it could not get before it ends.
class AllocationFailure : public std::bad_alloc {
 public:
  explicit AllocationFailure(std::size_t bytes) : bytes_(bytes) {}
  std::size_t bytes() const { return bytes_; }
  const char* what() const noexcept override { return "memory allocation failed"; }

 private:
  std::size_t bytes_;
};

// The C library's description of `error_number` (its strerror text).
std::string ErrnoText(int error_number);

// The text used when a path cannot be handed to the system because it holds
// a NUL byte.
inline constexpr std::string_view kNulInPathText = "file name contained an unexpected NUL byte";

}  // namespace vorl

#endif  // VORLSTORE_CORE_STATUS_H_
