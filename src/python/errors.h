// How failures leave the module: store errors become built-in Python
// exceptions, internal faults become PanicException, and memory exhaustion
// ends the process.  This is the only file that decides which exception
// class a store error becomes.
//
// Internal faults are C++ exceptions (InternalFault) thrown anywhere inside
// an entry point and caught once by the call frame (frame.h), which turns
// them into PanicException after writing a diagnostic line to stderr.
//
// Everything here runs with the interpreter lock held.
#ifndef VORLSTORE_PYTHON_ERRORS_H_
#define VORLSTORE_PYTHON_ERRORS_H_

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/status.h"

namespace vorl::py {

// Where a fault was raised: the default arguments take the file and line of
// the call that evaluates Current() as a default argument (GCC and Clang both
// evaluate __builtin_FILE/__builtin_LINE at the outermost call site).
struct SourceLocation {
  const char* file;
  int line;
  static constexpr SourceLocation Current(const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    return {file, line};
  }
};

// A broken invariant or another failure that is not the caller's fault.
struct InternalFault {
  std::string message;
  SourceLocation where;
};

// Throws an InternalFault for the frame to catch.
[[noreturn]] void Fault(std::string message, SourceLocation where = SourceLocation::Current());

// Reports the pending Python exception as unraisable, then throws an
// InternalFault: for failures of the interpreter where none is expected,
// such as creating a result object.
[[noreturn]] void FaultAfterPythonError(std::string message,
                                        SourceLocation where = SourceLocation::Current());

// Sets the Python exception for a store error and returns null, so that an
// operation can `return RaiseStoreError(status);`.  Corrupt and unsupported
// version become RuntimeError, I/O becomes OSError itself (never an errno
// subclass), other becomes ValueError; the text is the kind's prefix
// ("VorlCorruptError: " ...) and the message.  A cancelled status leaves the
// exception that the cancellation callback found pending.  An internal
// status (such as a failed summary print) is thrown as an InternalFault
// carrying its message.
// REQUIRES: !status.ok().
PyObject* RaiseStoreError(const Status& status, SourceLocation where = SourceLocation::Current());

// Turns a contained fault into a pending PanicException(message): reports any
// exception already pending as unraisable, writes the diagnostic line (the
// OS thread, `where` and `site`) to stderr, then sets the exception.  An
// empty message is replaced by a generic one.  Aborts the process when even
// that fails.
void RaisePanic(std::string_view message, const SourceLocation& where, std::string_view site) noexcept;

// Writes "memory allocation of {bytes} bytes failed" to stderr and aborts.
[[noreturn]] void AbortOutOfMemory(std::size_t bytes) noexcept;

// Writes `text` and a newline to stderr, then aborts.  For faults that
// cannot be contained.
[[noreturn]] void AbortWithMessage(std::string_view text) noexcept;

}  // namespace vorl::py

#endif  // VORLSTORE_PYTHON_ERRORS_H_
