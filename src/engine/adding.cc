#include "engine/adding.h"

#include <chrono>
#include <optional>
#include <utility>

#include "engine/readable_check.h"

namespace vorl::engine {

std::vector<KeyArg> CheckedKeys(const Items& keys) {
  std::vector<KeyArg> out;
  out.reserve(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    out.emplace_back(keys[i]);
    CheckKeyLength(out.back().bytes());
  }
  return out;
}

OnDuplicate ParseOnDuplicate(std::string_view name) {
  if (name == "last") return OnDuplicate::kLast;
  if (name == "first") return OnDuplicate::kFirst;
  if (name == "error") return OnDuplicate::kError;
  throw nb::value_error(
      ("on_duplicate must be 'last', 'first' or 'error', not '" + std::string(name) + "'").c_str());
}

Failure DuplicateFailure(nb::handle key, const std::string& filename) {
  const nb::str text = nb::repr(key);
  return Failure(FailureKind::kDuplicate, std::string("duplicate key ") + text.c_str(), filename);
}

std::vector<nb::object> CheckedBlobs(const Items& blobs, nb::handle check) {
  std::vector<nb::object> out;
  out.reserve(blobs.size());
  for (std::size_t i = 0; i < blobs.size(); ++i) {
    const nb::handle blob = blobs[i];
    const bool known =
        PyBytes_Check(blob.ptr()) && KnownReadable({PyBytes_AS_STRING(blob.ptr()),
                                                    static_cast<std::size_t>(PyBytes_GET_SIZE(blob.ptr()))});
    out.push_back(known ? nb::borrow(blob) : check(blob));
  }
  return out;
}

std::string_view BlobView(nb::handle blob) {
  if (!PyBytes_Check(blob.ptr())) {
    throw nb::type_error((std::string("object must be bytes, not ") + Py_TYPE(blob.ptr())->tp_name).c_str());
  }
  return {PyBytes_AS_STRING(blob.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(blob.ptr()))};
}

CancelCheck SignalCancel::Check() {
  return [this] {
    const nb::gil_scoped_acquire held;
    if (PyErr_CheckSignals() == 0) return false;
    interrupt_ = nb::steal(PyErr_GetRaisedException());
    return true;
  };
}

void SignalCancel::RaiseIfStopped() {
  if (!interrupt_.is_valid()) return;
  PyErr_SetRaisedException(interrupt_.release().ptr());
  throw nb::python_error();
}

nb::dict Publish(const std::string& target, bool& busy, Clock::time_point started,
                 const std::function<Result<BuildSummary>(const CancelCheck&)>& build) {
  // A Ctrl-C that arrived while the caller was adding stops the build here,
  // before the target is touched.
  if (PyErr_CheckSignals() != 0) throw nb::python_error();
  // The core asks again while it waits for another build of the target and
  // just before it publishes.
  SignalCancel stop;
  std::optional<Result<BuildSummary>> built;
  {
    const BusyScope busy_scope(busy);
    const nb::gil_scoped_release unlocked;
    built.emplace(build(stop.Check()));
  }
  stop.RaiseIfStopped();
  const BuildSummary published = Unwrap(std::move(*built), target);
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  nb::dict summary;
  summary["path"] = PathToPython(target);
  summary["objects"] = published.objects;
  summary["keys"] = published.keys;
  summary["bytes"] = published.bytes;
  summary["duplicates"] = published.duplicates;
  summary["seconds"] = seconds;
  return summary;
}

}  // namespace vorl::engine
