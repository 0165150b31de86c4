#include "engine/errors.h"

#include "engine/keys.h"

namespace vorl::engine {
namespace {

const char* KindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kCorrupt:
      return "corrupt";
    case FailureKind::kVersion:
      return "version";
    case FailureKind::kIO:
      return "io";
    case FailureKind::kRequest:
      return "request";
    case FailureKind::kKey:
      return "key";
    case FailureKind::kDuplicate:
      return "duplicate";
    case FailureKind::kClosed:
      return "closed";
    case FailureKind::kBusy:
      return "busy";
    case FailureKind::kInternal:
      break;
  }
  return "internal";
}

FailureKind KindOf(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kCorrupt:
      return FailureKind::kCorrupt;
    case ErrorKind::kVersion:
      return FailureKind::kVersion;
    case ErrorKind::kIO:
      return FailureKind::kIO;
    case ErrorKind::kOther:
      return FailureKind::kRequest;
    case ErrorKind::kOk:
    case ErrorKind::kCancelled:  // the engine re-raises the interrupt itself
    case ErrorKind::kInternal:
      break;
  }
  return FailureKind::kInternal;
}

// What an I/O error's OSError says before the errno's description: the
// step, in the package's words.  A failed open needs none, since the
// exception's filename is the file; a failure with no errno reads as its
// step and what was wrong.
std::string IOContext(const Status& status) {
  std::string step;
  switch (status.operation()) {
    case Operation::kOpen:
      if (status.sys_errno() == 0) step = "cannot open " + status.path();
      break;
    case Operation::kMap:
      step = "mmap failed";
      break;
    case Operation::kOpenTemporary:
    case Operation::kRename:
    case Operation::kSyncDirectory:
    case Operation::kReadTemporary:
    case Operation::kTruncateTemporary:
    case Operation::kSeekTemporary:
      step = OperationName(status.operation());
      break;
    case Operation::kNone:
    case Operation::kWrite:
    case Operation::kSync:
      break;
  }
  if (status.sys_errno() != 0 || status.message().empty()) return step;
  return step.empty() ? status.message() : step + ": " + status.message();
}

void Raise(const Failure& failure) {
  // Imported on first use: the package imports this module while it loads.
  nb::object make = nb::module_::import_("vorlstore.errors").attr("from_engine");
  nb::object filename = failure.filename().empty() ? nb::none() : PathToPython(failure.filename());
  nb::object message = nb::steal(PyUnicode_DecodeUTF8(
      failure.message().data(), static_cast<Py_ssize_t>(failure.message().size()), "backslashreplace"));
  if (!message.is_valid()) throw nb::python_error();
  nb::object exc = make(KindName(failure.kind()), message, filename, failure.sys_errno());
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
}

}  // namespace

void ThrowStatus(const Status& status, std::string_view filename) {
  // The file the core names is the one the failed step was about.
  std::string file = status.path().empty() ? std::string(filename) : status.path();
  const std::string message = status.kind() == ErrorKind::kIO ? IOContext(status) : status.message();
  throw Failure(KindOf(status.kind()), message, std::move(file), status.sys_errno());
}

void RegisterTranslator() {
  nb::register_exception_translator([](const std::exception_ptr& p, void*) {
    try {
      std::rethrow_exception(p);
    } catch (const Failure& failure) {
      try {
        Raise(failure);
      } catch (nb::python_error& e) {
        e.restore();
      }
    }
  });
}

}  // namespace vorl::engine
