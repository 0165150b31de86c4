#include "engine/errors.h"

#include <charconv>

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
    case ErrorKind::kInternal:
      break;
  }
  return FailureKind::kInternal;
}

// The errno a system failure came from: the core ends such messages with
// "(os error N)".  0 when the message carries none.
int ErrnoOf(std::string_view message) {
  constexpr std::string_view kMarker = "(os error ";
  const std::size_t at = message.rfind(kMarker);
  if (at == std::string_view::npos || !message.ends_with(')')) return 0;
  const char* first = message.data() + at + kMarker.size();
  const char* last = message.data() + message.size() - 1;
  int value = 0;
  const auto [end, ec] = std::from_chars(first, last, value);
  return (ec == std::errc() && end == last) ? value : 0;
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
  const std::string message = status.message();
  throw Failure(KindOf(status.kind()), message, std::string(filename), ErrnoOf(message));
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
