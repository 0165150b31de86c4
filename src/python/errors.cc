#include "python/errors.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "python/once_cell.h"
#include "python/pyref.h"

namespace vorl::py {
namespace {

constexpr std::string_view kGenericFaultText = "native code failed with an internal fault";

constexpr const char kPanicDoc[] =
    "Raised when native code called from Python fails with an internal fault.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it is not caught by `except Exception:` and typically propagates to\n"
    "the top and ends the interpreter.";

OnceCell panic_exception;

// How each kind of store error looks to Python: the exception class and the
// prefix that names the kind.  Corrupt and unsupported version share
// RuntimeError, so the prefix is what tells them apart.
struct ErrorClass {
  ErrorKind kind;
  PyObject* const* type;
  std::string_view prefix;
};
constexpr ErrorClass kErrorClasses[] = {
    {ErrorKind::kCorrupt, &PyExc_RuntimeError, "VorlCorruptError: "},
    {ErrorKind::kVersion, &PyExc_RuntimeError, "VorlVersionError: "},
    {ErrorKind::kIO, &PyExc_OSError, "VorlIOError: "},
    {ErrorKind::kOther, &PyExc_ValueError, "VorlError: "},
};

// What an I/O error of each operation says before its cause.  Only opening
// a store names the path: the other steps' texts are fixed.
std::string OperationText(const Status& status) {
  switch (status.operation()) {
    case Operation::kOpen:
      return "cannot open " + status.path() + ": ";
    case Operation::kMap:
      return "mmap failed: ";
    case Operation::kOpenTemporary:
      return "open tmp: ";
    case Operation::kRename:
      return "rename: ";
    case Operation::kSyncDirectory:
      return "sync dir: ";
    case Operation::kReadTemporary:
      return "read tmp: ";
    case Operation::kTruncateTemporary:
      return "truncate tmp: ";
    case Operation::kSeekTemporary:
      return "seek tmp: ";
    case Operation::kNone:
    case Operation::kWrite:
    case Operation::kSync:
      break;
  }
  return {};
}

// "{strerror text} (os error {errno})", the way every system failure reads.
std::string SystemErrorText(int error_number) {
  return ErrnoText(error_number) + " (os error " + std::to_string(error_number) + ")";
}

// The message of a store error as the module shows it after the kind's
// prefix: the operation, then the errno's text or the failed check.
std::string StoreErrorText(const Status& status) {
  std::string text = status.kind() == ErrorKind::kIO ? OperationText(status) : std::string();
  if (status.sys_errno() == 0) return text + status.message();
  if (!status.message().empty()) text += status.message() + ": ";
  return text + SystemErrorText(status.sys_errno());
}

// Writes all of `text` to descriptor 2, giving up silently: there is nowhere
// else to report a failure to report.
void WriteStderr(std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Source paths from the build are absolute; the part from "src/" on is
// enough to find the line.
std::string_view ShortSourcePath(std::string_view path) {
  const std::size_t at = path.rfind("src/");
  return at == std::string_view::npos ? path : path.substr(at);
}

std::string ThreadDescription() {
  char name[64] = "";
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) name[0] = '\0';
  std::string text = "thread '";
  text += name[0] != '\0' ? name : "<unnamed>";
  text += "' (tid ";
  text += std::to_string(static_cast<long>(::gettid()));
  text += ')';
  return text;
}

// The exception class, created on first need.  Borrowed; null with a Python
// exception set if it could not be created.
PyObject* PanicExceptionType() {
  return panic_exception.Get([] {
    return PyErr_NewExceptionWithDoc("_vorlstore_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
  });
}

}  // namespace

void Fault(std::string message, SourceLocation where) { throw InternalFault{std::move(message), where}; }

void FaultAfterPythonError(std::string message, SourceLocation where) {
  if (PyErr_Occurred()) PyErr_FormatUnraisable("Exception ignored in vorlstore before an internal fault");
  throw InternalFault{std::move(message), where};
}

PyObject* RaiseStoreError(const Status& status, SourceLocation where) {
  switch (status.kind()) {
    case ErrorKind::kInternal:
      throw InternalFault{StoreErrorText(status), where};
    case ErrorKind::kCancelled:
      // The cancellation callback stopped the operation because a Python
      // exception is pending (a KeyboardInterrupt, say): that exception is
      // the result.
      if (PyErr_Occurred()) return nullptr;
      throw InternalFault{"an operation was cancelled without a pending exception", where};
    case ErrorKind::kOk:
      throw InternalFault{"a successful status was raised as an error", where};
    default:
      break;
  }
  for (const ErrorClass& c : kErrorClasses) {
    if (c.kind != status.kind()) continue;
    std::string text(c.prefix);
    text += StoreErrorText(status);
    // Messages hold paths that came from Python strings and ASCII otherwise;
    // "replace" keeps this from failing on content whatever they hold.
    PyRef message =
        PyRef::Steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message) return nullptr;
    // With a single argument OSError stays OSError: no errno, no subclass.
    PyErr_SetObject(*c.type, message.get());
    return nullptr;
  }
  throw InternalFault{"a store error of unknown kind was raised", where};
}

void RaisePanic(std::string_view message, const SourceLocation& where, std::string_view site) noexcept {
  if (message.empty()) message = kGenericFaultText;
  if (PyErr_Occurred()) PyErr_FormatUnraisable("Exception ignored in vorlstore before an internal fault");

  std::string line = "vorlstore: ";
  line += ThreadDescription();
  line += " faulted in ";
  line += site;
  line += " at ";
  line += ShortSourcePath(where.file);
  line += ':';
  line += std::to_string(where.line);
  line += ": ";
  line += message;
  line += '\n';
  WriteStderr(line);

  PyObject* type = PanicExceptionType();
  if (type == nullptr) {
    PyErr_FormatUnraisable("Exception ignored while creating PanicException");
    AbortWithMessage("vorlstore: could not create PanicException; aborting");
  }
  PyRef text =
      PyRef::Steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) {
    PyErr_FormatUnraisable("Exception ignored while raising PanicException");
    AbortWithMessage("vorlstore: could not raise PanicException; aborting");
  }
  PyErr_SetObject(type, text.get());
}

void AbortOutOfMemory(std::size_t bytes) noexcept {
  // No allocation here: the heap is what just failed.
  char text[80];
  const int n = std::snprintf(text, sizeof text, "memory allocation of %zu bytes failed\n", bytes);
  if (n > 0) WriteStderr(std::string_view(text, static_cast<std::size_t>(n)));
  std::abort();
}

void AbortWithMessage(std::string_view text) noexcept {
  WriteStderr(text);
  WriteStderr("\n");
  std::abort();
}

}  // namespace vorl::py

// C++ allocations of the module (and of the C++ runtime it loads) end the
// process on exhaustion instead of throwing: no code path in the module is
// prepared to continue without the memory it asked for.
void* operator new(std::size_t size) {
  if (size == 0) size = 1;
  if (void* p = std::malloc(size)) return p;
  vorl::py::AbortOutOfMemory(size);
}

void* operator new[](std::size_t size) { return ::operator new(size); }

// The matching releases: memory from the allocations above is malloc's.
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t /*size*/) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t /*size*/) noexcept { std::free(p); }
