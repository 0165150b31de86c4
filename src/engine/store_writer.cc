#include "engine/store_writer.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/format.h"
#include "engine/errors.h"
#include "engine/keys.h"
#include "engine/sequence.h"
#include "engine/store_reader.h"

namespace vorl::engine {
namespace {

// Converts and checks every key of `keys` before anything is stored.
std::vector<KeyArg> CheckedKeys(const Items& keys) {
  std::vector<KeyArg> out;
  out.reserve(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    out.emplace_back(keys[i]);
    CheckKeyLength(out.back().bytes());
  }
  return out;
}

std::string_view BlobView(nb::handle blob) {
  if (!PyBytes_Check(blob.ptr())) {
    throw nb::type_error((std::string("object must be bytes, not ") + Py_TYPE(blob.ptr())->tp_name).c_str());
  }
  return {PyBytes_AS_STRING(blob.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(blob.ptr()))};
}

// Marks the writer busy for the duration of a call that may release the GIL.
class BusyScope {
 public:
  explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
  ~BusyScope() { busy_ = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& busy_;
};

}  // namespace

void StoreWriter::CheckIdle() const {
  if (busy_) throw Failure(FailureKind::kBusy, "writer is busy building in another thread");
}

std::uint32_t StoreWriter::Add(const nb::bytes& blob, nb::handle keys) {
  CheckIdle();
  const Items items(keys, "keys must be a sequence");
  const std::vector<KeyArg> checked = CheckedKeys(items);
  if (writer_.num_keys() + checked.size() > format::kMaxCount) {
    throw Failure(FailureKind::kRequest, "too many keys: the limit is " + std::to_string(format::kMaxCount));
  }
  const std::uint32_t id = Unwrap(writer_.AddObject(BlobView(blob)), {});
  for (const KeyArg& key : checked) Check(writer_.AddKey(key.bytes(), id), {});
  return id;
}

std::uint32_t StoreWriter::AddMany(nb::handle blobs, nb::handle keys) {
  CheckIdle();
  const Items blob_items(blobs, "objects must be a sequence");
  const Items key_items(keys, "keys must be a sequence");
  if (blob_items.size() != key_items.size()) {
    throw nb::value_error(("objects and keys differ in length: " + std::to_string(blob_items.size()) +
                           " and " + std::to_string(key_items.size()))
                              .c_str());
  }
  const std::vector<KeyArg> checked = CheckedKeys(key_items);
  std::vector<std::string_view> views;
  views.reserve(blob_items.size());
  for (std::size_t i = 0; i < blob_items.size(); ++i) {
    views.push_back(BlobView(blob_items[i]));
    if (views.back().size() > format::kMaxPayloadLength) {
      throw Failure(FailureKind::kRequest, "object " + std::to_string(i) + " of " +
                                               std::to_string(views.back().size()) +
                                               " bytes exceeds the limit of " +
                                               std::to_string(format::kMaxPayloadLength) + " bytes");
    }
  }
  if (writer_.num_objects() + views.size() > format::kMaxCount ||
      writer_.num_keys() + views.size() > format::kMaxCount) {
    throw Failure(FailureKind::kRequest,
                  "too many objects or keys: the limit is " + std::to_string(format::kMaxCount));
  }
  const auto first = static_cast<std::uint32_t>(writer_.num_objects());
  for (std::size_t i = 0; i < views.size(); ++i) {
    const std::uint32_t id = Unwrap(writer_.AddObject(views[i]), {});
    Check(writer_.AddKey(checked[i].bytes(), id), {});
  }
  return first;
}

void StoreWriter::AddKey(nb::handle key, std::int64_t obj_id) {
  CheckIdle();
  const KeyArg k(key);
  CheckKeyLength(k.bytes());
  // Ids beyond 32 bits name no object either; the core checks the rest.
  if (obj_id < 0 || obj_id > static_cast<std::int64_t>(format::kMaxCount)) {
    throw Failure(FailureKind::kRequest, "obj_id " + std::to_string(obj_id) + " out of range (have " +
                                             std::to_string(writer_.num_objects()) + " objects)");
  }
  Check(writer_.AddKey(k.bytes(), static_cast<std::uint32_t>(obj_id)), {});
}

void StoreWriter::CopyFrom(const StoreReader& source, nb::handle later) {
  CheckIdle();
  const Reader& reader = source.Get();
  const Items later_items(later, "later stores must be a sequence");
  std::vector<const Reader*> shadowing;
  for (std::size_t i = 0; i < later_items.size(); ++i) {
    shadowing.push_back(&nb::cast<const StoreReader&>(later_items[i]).Get());
  }
  // Record offset in the source -> id here: keys that share an object there
  // share it here too.
  std::unordered_map<std::uint64_t, std::uint32_t> ids;
  Check(reader.VisitEntries(0, reader.num_entries(),
                            [&](std::size_t i, std::string_view payload) -> Status {
                              if (IsShadowed(reader, i)) return {};
                              const std::string_view key = reader.key_at(i);
                              for (const Reader* other : shadowing) {
                                if (other->Find(key)) return {};
                              }
                              auto [it, fresh] = ids.try_emplace(reader.offset_at(i), 0);
                              if (fresh) {
                                Result<std::uint32_t> id = writer_.AddObject(payload);
                                if (!id.ok()) return std::move(id).status();
                                it->second = id.value();
                              }
                              return writer_.AddKey(key, it->second);
                            }),
        source.path());
}

nb::dict StoreWriter::Build(const nb::bytes& path) {
  CheckIdle();
  const std::string target(path.c_str(), path.size());
  // A Ctrl-C that arrived while the caller was adding stops the build here,
  // before the target is touched.  A build that fails or is stopped later
  // removes its temporary file: the package leaves nothing behind.
  if (PyErr_CheckSignals() != 0) throw nb::python_error();
  // The core asks again while it waits for another build of the target and
  // just before it publishes.  The build runs without the GIL; asking takes
  // it back for a moment, and the handler's exception (KeyboardInterrupt) is
  // kept to be raised once the core has stopped.
  nb::object interrupt;
  BuildOptions options;
  options.print_summary = false;
  options.keep_failed_temporary = false;
  options.cancel = [&interrupt] {
    const nb::gil_scoped_acquire held;
    if (PyErr_CheckSignals() == 0) return false;
    interrupt = nb::steal(PyErr_GetRaisedException());
    return true;
  };
  const auto started = std::chrono::steady_clock::now();
  std::optional<Result<BuildSummary>> built;
  {
    const BusyScope busy(busy_);
    const nb::gil_scoped_release unlocked;
    built.emplace(writer_.Build(target, options));
  }
  if (interrupt.is_valid()) {
    PyErr_SetRaisedException(interrupt.release().ptr());
    throw nb::python_error();
  }
  const BuildSummary published = Unwrap(std::move(*built), target);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  nb::dict summary;
  summary["path"] = PathToPython(target);
  summary["objects"] = published.objects;
  summary["keys"] = published.keys;
  summary["bytes"] = published.bytes;
  summary["seconds"] = seconds;
  last_build_ = summary;
  return summary;
}

void BindWriter(nb::module_& m) {
  constexpr const char* kKeys = "collections.abc.Sequence[str | bytes | bytearray]";
  nb::class_<StoreWriter>(m, "Writer", "Collects objects and keys in memory and publishes them as one store.")
      .def(nb::init<>())
      .def("add", &StoreWriter::Add, nb::arg("blob"), nb::arg("keys"),
           nb::sig((std::string("def add(self, blob: bytes, keys: ") + kKeys + ", /) -> int").c_str()),
           "Stores `blob` under every key; checks all keys first.")
      .def("add_many", &StoreWriter::AddMany, nb::arg("blobs"), nb::arg("keys"),
           nb::sig((std::string("def add_many(self, blobs: collections.abc.Sequence[bytes], keys: ") + kKeys +
                    ", /) -> int")
                       .c_str()),
           "Stores blobs[i] under keys[i]; returns the first id.")
      .def("add_key", &StoreWriter::AddKey, nb::arg("key"), nb::arg("obj_id"),
           nb::sig("def add_key(self, key: str | bytes | bytearray, obj_id: int, /) -> None"))
      .def("copy_from", &StoreWriter::CopyFrom, nb::arg("source"), nb::arg("later"),
           nb::sig("def copy_from(self, source: Reader, later: collections.abc.Sequence[Reader], /) -> None"),
           "Adds the keys of `source` that no store in `later` holds.")
      .def("build", &StoreWriter::Build, nb::arg("path"),
           nb::sig("def build(self, path: bytes, /) -> dict[str, str | int | float]"),
           "Publishes the store at `path` atomically and returns its summary.")
      .def_prop_ro("last_build", &StoreWriter::last_build,
                   nb::sig("def last_build(self) -> dict[str, str | int | float] | None"),
                   "The summary of the last build that published, or None.")
      .def_prop_ro("num_objects", &StoreWriter::num_objects)
      .def_prop_ro("num_keys", &StoreWriter::num_keys);
  m.def(
      "temporary_path",
      [](const nb::bytes& target) {
        const std::string tmp = TemporaryPathFor(std::string_view(target.c_str(), target.size()));
        return nb::bytes(tmp.data(), tmp.size());
      },
      nb::arg("target"), "Where a build of `target` writes before it renames the file into place.");
}

}  // namespace vorl::engine
