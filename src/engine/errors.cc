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
  throw Failure(KindOf(status.kind()), status.message(), std::string(filename), status.sys_errno());
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
