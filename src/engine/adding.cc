#include "engine/adding.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "core/format.h"
#include "engine/bindings.h"
#include "engine/readable_check.h"

namespace vorl::engine {
namespace {

// The bytes of a blob argument; TypeError for anything but bytes.
std::string_view BlobView(nb::handle blob) {
  if (!PyBytes_Check(blob.ptr())) {
    throw nb::type_error((std::string("object must be bytes, not ") + Py_TYPE(blob.ptr())->tp_name).c_str());
  }
  return {PyBytes_AS_STRING(blob.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(blob.ptr()))};
}

// The failure for adding `key` (a Python key) again under kError.
Failure DuplicateFailure(nb::handle key, const std::string& filename) {
  const nb::str text = nb::repr(key);
  return Failure(FailureKind::kDuplicate, std::string("duplicate key ") + text.c_str(), filename);
}

void CheckCount(std::uint64_t have, std::size_t more, const char* what) {
  if (have + more > format::kMaxCount) {
    throw Failure(FailureKind::kRequest,
                  std::string("too many ") + what + ": the limit is " + std::to_string(format::kMaxCount));
  }
}

}  // namespace

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

void Adder::RefuseDuplicates(const std::vector<KeyArg>& checked, const Items& items) const {
  if (on_duplicate() != OnDuplicate::kError) return;
  std::vector<std::string_view> keys;
  keys.reserve(checked.size());
  for (const KeyArg& k : checked) keys.push_back(k.bytes());
  const std::optional<std::size_t> refused =
      FirstRefusedKey(keys, [this](std::string_view k) { return HasKey(k); });
  if (refused) throw DuplicateFailure(items[*refused], filename());
}

std::uint32_t Adder::Add(const nb::bytes& blob, nb::handle keys) {
  Ready();
  const Items items(keys, "keys must be a sequence");
  const std::vector<KeyArg> checked = CheckedKeys(items);
  RefuseDuplicates(checked, items);
  CheckCount(num_keys(), checked.size(), "keys");
  Ready();
  const std::uint32_t id = Unwrap(StoreObject(BlobView(blob)), {});
  for (const KeyArg& key : checked) Check(StoreKey(key.bytes(), id), {});
  return id;
}

std::uint32_t Adder::AddMany(nb::handle blobs, nb::handle keys) {
  Ready();
  const Items blob_items(blobs, "objects must be a sequence");
  return AddPairs(blob_items, Items(keys, "keys must be a sequence"), nb::none());
}

std::uint32_t Adder::AddManyRaw(nb::handle objects, nb::handle keys, nb::handle check) {
  Ready();
  // The objects first, then the keys: iterating either may run Python code.
  const Items object_items(objects, "objects must be a sequence");
  return AddPairs(object_items, Items(keys, "keys must be a sequence"), check);
}

std::uint32_t Adder::AddPairs(const Items& blobs, const Items& keys, nb::handle check) {
  // Both arguments are private snapshots by now, so their lengths hold.
  if (blobs.size() != keys.size()) {
    throw nb::value_error(("objects and keys differ in length: " + std::to_string(blobs.size()) + " and " +
                           std::to_string(keys.size()))
                              .c_str());
  }
  const std::size_t n = blobs.size();
  std::vector<nb::object> checked_blobs;
  if (!check.is_none()) {
    checked_blobs.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      const nb::handle blob = blobs[i];
      const bool known = PyBytes_Check(blob.ptr()) &&
                         KnownReadable({PyBytes_AS_STRING(blob.ptr()),
                                        static_cast<std::size_t>(PyBytes_GET_SIZE(blob.ptr()))});
      checked_blobs.push_back(known ? nb::borrow(blob) : check(blob));
    }
  }
  // No Python code runs from here on: the key views stay valid.
  const std::vector<KeyArg> checked = CheckedKeys(keys);
  RefuseDuplicates(checked, keys);
  std::vector<std::string_view> views;
  views.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    views.push_back(BlobView(check.is_none() ? blobs[i] : nb::handle(checked_blobs[i])));
    if (views.back().size() > format::kMaxPayloadLength) {
      throw Failure(FailureKind::kRequest, "object " + std::to_string(i) + " of " +
                                               std::to_string(views.back().size()) +
                                               " bytes exceeds the limit of " +
                                               std::to_string(format::kMaxPayloadLength) + " bytes");
    }
  }
  CheckCount(std::max(num_objects(), num_keys()), n, "objects or keys");
  Ready();
  const auto first = static_cast<std::uint32_t>(num_objects());
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t id = Unwrap(StoreObject(views[i]), {});
    Check(StoreKey(checked[i].bytes(), id), {});
  }
  return first;
}

void Adder::AddKey(nb::handle key, std::int64_t obj_id) {
  const KeyArg k(key);
  CheckKeyLength(k.bytes());
  Ready();
  if (on_duplicate() == OnDuplicate::kError && HasKey(k.bytes())) throw DuplicateFailure(key, filename());
  // Ids beyond 32 bits name no object either; the core checks the rest.
  if (obj_id < 0 || obj_id > static_cast<std::int64_t>(format::kMaxCount)) {
    throw Failure(FailureKind::kRequest, "obj_id " + std::to_string(obj_id) + " out of range (have " +
                                             std::to_string(num_objects()) + " objects)");
  }
  Check(StoreKey(k.bytes(), static_cast<std::uint32_t>(obj_id)), {});
}

void BindAdder(nb::module_& m) {
  constexpr const char* kKeys = "collections.abc.Sequence[str | bytes | bytearray]";
  nb::class_<Adder>(m, "Adder", "What the writer and the builder share: adds that check everything first.")
      .def("add", &Adder::Add, nb::arg("blob"), nb::arg("keys"),
           nb::sig((std::string("def add(self, blob: bytes, keys: ") + kKeys + ", /) -> int").c_str()),
           "Stores `blob` under every key; checks all keys first.")
      .def("add_many", &Adder::AddMany, nb::arg("blobs"), nb::arg("keys"),
           nb::sig((std::string("def add_many(self, blobs: collections.abc.Sequence[bytes], keys: ") + kKeys +
                    ", /) -> int")
                       .c_str()),
           "Stores blobs[i] under keys[i]; returns the first id.")
      // A method of its own, so that add_many keeps its plain signature.
      .def("add_many_raw", &Adder::AddManyRaw, nb::arg("objects"), nb::arg("keys"), nb::arg("check"),
           nb::sig("def add_many_raw(self, objects: collections.abc.Iterable[object], keys: "
                   "collections.abc.Iterable[str | bytes | bytearray], check: "
                   "collections.abc.Callable[[object], bytes], /) -> int"),
           "As add_many; objects the native MessagePack check cannot vouch for are replaced by\n"
           "check(object), which raises for unreadable ones.")
      .def("add_key", &Adder::AddKey, nb::arg("key"), nb::arg("obj_id"),
           nb::sig("def add_key(self, key: str | bytes | bytearray, obj_id: int, /) -> None"))
      .def_prop_ro("num_objects", &Adder::num_objects)
      .def_prop_ro("num_keys", &Adder::num_keys);
  m.def(
      "known_readable",
      [](const nb::bytes& raw) {
        return KnownReadable({raw.c_str(), raw.size()});
      },
      nb::arg("raw"), nb::sig("def known_readable(raw: bytes, /) -> bool"),
      "True when the native check vouches that a reader reads `raw` back; False says nothing either way.");
}

CancelCheck SignalCancel::Check() {
  return [this] {
    const nb::gil_scoped_acquire held;
    if (PyErr_CheckSignals() == 0) return false;
    interrupt_.emplace();  // takes the pending exception
    return true;
  };
}

void SignalCancel::RaiseIfStopped() {
  if (!interrupt_) return;
  nb::python_error raised = std::move(*interrupt_);
  interrupt_.reset();
  // The pending error leaves its slot before it is thrown, so it is thrown by name.
  throw raised;  // NOLINT(cert-err09-cpp,cert-err61-cpp)
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
  summary["crc32"] = published.crc32;
  summary["duplicates"] = published.duplicates;
  summary["seconds"] = seconds;
  return summary;
}

}  // namespace vorl::engine
