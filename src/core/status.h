// Status: the store core's one error type, and Result<T> for values that may
// fail.  A Status is a kind plus a message; an OK status holds nothing and
// costs one byte to test.  The core never throws across its API and never
// prints: every failure travels back to the caller as one of these values.
#ifndef VORLSTORE_CORE_STATUS_H_
#define VORLSTORE_CORE_STATUS_H_

#include <cstddef>
#include <cstdint>
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

class [[nodiscard]] Status {
 public:
  Status() = default;

  static Status Corrupt(std::string message) { return {ErrorKind::kCorrupt, std::move(message)}; }
  // `sys_errno` is the errno behind the failure, 0 when there is none (for
  // example a path that cannot be handed to the system).
  static Status IO(std::string message, int sys_errno = 0) {
    Status s{ErrorKind::kIO, std::move(message)};
    s.sys_errno_ = sys_errno;
    return s;
  }
  // An I/O error for `error_number`: `prefix` and the system error text.
  static Status FromErrno(std::string_view prefix, int error_number);
  static Status Cancelled() { return {ErrorKind::kCancelled, "the caller asked to stop"}; }
  static Status Other(std::string message) { return {ErrorKind::kOther, std::move(message)}; }
  static Status Internal(std::string message) { return {ErrorKind::kInternal, std::move(message)}; }
  static Status UnsupportedVersion(std::uint8_t version) {
    Status s{ErrorKind::kVersion, {}};
    s.version_ = version;
    return s;
  }

  bool ok() const { return kind_ == ErrorKind::kOk; }
  ErrorKind kind() const { return kind_; }
  // The bare message, without the kind's prefix.  For kVersion this is
  // "unsupported version N".
  std::string message() const;
  std::uint8_t version() const { return version_; }
  int sys_errno() const { return sys_errno_; }
  // The same error with `prefix` put before its message, e.g. the step that
  // failed.  REQUIRES: kind() is not kVersion.
  Status Prefixed(std::string_view prefix) const;
  // For logs and tests: the kind's name and the message, e.g.
  // "corrupt: file too small for header".  How an error looks to Python is
  // decided by the binding, not here.
  std::string ToString() const;

 private:
  Status(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  ErrorKind kind_ = ErrorKind::kOk;
  std::uint8_t version_ = 0;
  int sys_errno_ = 0;
  std::string message_;
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

// "{strerror text} (os error {errno})", the way every system failure is shown.
std::string SystemErrorText(int error_number);

// The text used when a path cannot be handed to the system because it holds
// a NUL byte.
inline constexpr std::string_view kNulInPathText = "file name contained an unexpected NUL byte";

}  // namespace vorl

#endif  // VORLSTORE_CORE_STATUS_H_
