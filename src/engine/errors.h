// How the package's engine reports failures.  Engine code throws Failure (or
// a Python error already set, as nb::python_error); the one translator that
// module.cc registers turns each Failure into the package's exception by
// handing its kind, message, file name and errno to vorlstore.errors, which
// owns the table of exception classes.  Nothing else in the engine chooses
// an exception class.  For an I/O failure the message is the step that
// failed (what an OSError's text puts before the errno's description), so
// that nothing needs to take a message apart again.
#ifndef VORLSTORE_ENGINE_ERRORS_H_
#define VORLSTORE_ENGINE_ERRORS_H_

#include <nanobind/nanobind.h>

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "core/status.h"

namespace vorl::engine {

namespace nb = nanobind;

// The kinds the package distinguishes; the names are the keys of the table
// in vorlstore/errors.py.
enum class FailureKind {
  kCorrupt,    // the file breaks a format rule
  kVersion,    // a format version this code does not read
  kIO,         // the operating system refused an operation
  kRequest,    // a request the store cannot honour (an unknown id, a limit)
  kKey,        // a key that cannot be stored or looked up
  kDuplicate,  // a key added again under the rule that refuses duplicates
  kClosed,     // a call on a closed store
  kBusy,       // a call on a writer while it builds in another thread
  kInternal,   // a fault of our own
};

class Failure : public std::exception {
 public:
  Failure(FailureKind kind, std::string message, std::string filename = {}, int sys_errno = 0)
      : kind_(kind), message_(std::move(message)), filename_(std::move(filename)), errno_(sys_errno) {}

  FailureKind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  const std::string& filename() const { return filename_; }
  int sys_errno() const { return errno_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  FailureKind kind_;
  std::string message_;
  std::string filename_;
  int errno_;
};

// Throws the Failure that `status` (not OK) stands for; `filename` is the
// file the failed operation was about.
[[noreturn]] void ThrowStatus(const Status& status, std::string_view filename);

inline void Check(const Status& status, std::string_view filename) {
  if (!status.ok()) ThrowStatus(status, filename);
}

template <typename T>
T Unwrap(Result<T>&& result, std::string_view filename) {
  if (!result.ok()) ThrowStatus(result.status(), filename);
  return std::move(result).value();
}

// Registers the translator from Failure to the package's exceptions.
void RegisterTranslator();

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_ERRORS_H_
