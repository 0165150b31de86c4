#include "engine/store_builder.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <optional>

#include "core/add_hash_index.h"
#include "engine/adding.h"
#include "engine/errors.h"

namespace vorl::engine {

StoreBuilder::StoreBuilder(const nb::bytes& path, bool hash_index, std::string_view on_duplicate,
                           std::optional<std::uint64_t> seed, std::optional<int> level)
    : target_(path.c_str(), path.size()), started_(Clock::now()) {
  StreamOptions options;
  options.hash_index = hash_index;
  options.seed = seed;
  options.on_duplicate = ParseOnDuplicate(on_duplicate);
  options.drop_unreachable = true;
  options.cancel = [this] { return cancel_ && cancel_(); };
  // Opening waits for another build of the target: without the GIL, and
  // stopped by Ctrl-C.
  SignalCancel stop;
  cancel_ = stop.Check();
  std::optional<Result<std::unique_ptr<StreamBuilder>>> created;
  {
    const nb::gil_scoped_release unlocked;
    created.emplace(StreamBuilder::Create(target_, std::move(options)));
  }
  cancel_ = nullptr;
  stop.RaiseIfStopped();
  builder_ = Unwrap(std::move(*created), target_);
  adding_ = std::make_unique<Compressing<StreamBuilder>>(*builder_, level, Sample::kFirst);
}

Compressing<StreamBuilder>& StoreBuilder::Open() {
  if (busy_) throw Failure(FailureKind::kBusy, "builder is busy committing in another thread");
  if (builder_->finished()) {
    throw Failure(FailureKind::kClosed, "builder is finished (committed or discarded)", target_);
  }
  return *adding_;
}

std::uint32_t StoreBuilder::Add(const nb::bytes& blob, nb::handle keys) {
  return AddChecked(Open(), blob, keys, target_);
}

std::uint32_t StoreBuilder::AddMany(nb::handle blobs, nb::handle keys) {
  return AddManyChecked(Open(), blobs, keys, nb::none(), target_);
}

std::uint32_t StoreBuilder::AddManyRaw(nb::handle blobs, nb::handle keys, nb::handle check) {
  return AddManyChecked(Open(), blobs, keys, check, target_);
}

void StoreBuilder::AddKey(nb::handle key, std::int64_t obj_id) {
  AddKeyChecked(Open(), key, obj_id, target_);
}

nb::dict StoreBuilder::Commit() {
  Compressing<StreamBuilder>& adding = Open();
  last_build_ = Publish(target_, busy_, started_, [&](const CancelCheck& cancel) {
    // Records still waiting for the dictionary go out first.
    if (Status s = adding.Flush(); !s.ok()) {
      builder_->Discard();
      return Result<BuildSummary>(std::move(s));
    }
    cancel_ = cancel;
    Result<BuildSummary> done = builder_->Commit(adding.dictionary());
    cancel_ = nullptr;
    return done;
  });
  return nb::borrow<nb::dict>(last_build_);
}

void StoreBuilder::Discard() {
  if (busy_) throw Failure(FailureKind::kBusy, "builder is busy committing in another thread");
  builder_->Discard();
}

void BindBuilder(nb::module_& m) {
  m.def(
      "add_hash_index",
      [](const nb::bytes& path) {
        const std::string target(path.c_str(), path.size());
        bool busy = false;  // nothing else can reach this build
        return Publish(target, busy, Clock::now(),
                       [&](const CancelCheck& cancel) { return AddHashIndex(target, cancel); });
      },
      nb::arg("path"), nb::sig("def add_hash_index(path: bytes, /) -> dict[str, str | int | float]"),
      "Rewrites the store at `path` atomically with a fresh hash index section.");
  constexpr const char* kKeys = "collections.abc.Sequence[str | bytes | bytearray]";
  nb::class_<StoreBuilder>(m, "Builder", "Streams objects to a store's temporary file; commit publishes it.")
      .def(nb::init<const nb::bytes&, bool, std::string_view, std::optional<std::uint64_t>, std::optional<int>>(),
           nb::arg("path"), nb::arg("hash_index") = true, nb::arg("on_duplicate") = "last",
           nb::arg("seed").none() = nb::none(), nb::arg("level").none() = nb::none())
      .def("add", &StoreBuilder::Add, nb::arg("blob"), nb::arg("keys"),
           nb::sig((std::string("def add(self, blob: bytes, keys: ") + kKeys + ", /) -> int").c_str()),
           "Writes `blob` now and maps every key to it; checks all keys first.")
      .def("add_many", &StoreBuilder::AddMany, nb::arg("blobs"), nb::arg("keys"),
           nb::sig((std::string("def add_many(self, blobs: collections.abc.Sequence[bytes], keys: ") + kKeys +
                    ", /) -> int")
                       .c_str()),
           "Writes blobs[i] under keys[i]; returns the first id.")
      // A method of its own, so that add_many keeps its plain signature.
      .def("add_many_raw", &StoreBuilder::AddManyRaw, nb::arg("objects"), nb::arg("keys"), nb::arg("check"),
           nb::sig((std::string("def add_many_raw(self, objects: collections.abc.Sequence[object], keys: ") +
                    kKeys + ", check: collections.abc.Callable[[object], bytes], /) -> int")
                       .c_str()),
           "As add_many; objects the native MessagePack check cannot vouch for are replaced by\n"
           "check(object), which raises for unreadable ones.")
      .def("add_key", &StoreBuilder::AddKey, nb::arg("key"), nb::arg("obj_id"),
           nb::sig("def add_key(self, key: str | bytes | bytearray, obj_id: int, /) -> None"))
      .def("commit", &StoreBuilder::Commit, nb::sig("def commit(self) -> dict[str, str | int | float]"),
           "Publishes the store atomically and returns its summary.")
      .def("discard", &StoreBuilder::Discard, "Removes the temporary file; nothing is published.")
      .def_prop_ro("last_build", &StoreBuilder::last_build,
                   nb::sig("def last_build(self) -> dict[str, str | int | float] | None"),
                   "The summary of the commit that published, or None.")
      .def_prop_ro("finished", &StoreBuilder::finished)
      .def_prop_ro("num_objects", &StoreBuilder::num_objects)
      .def_prop_ro("num_keys", &StoreBuilder::num_keys);
}

}  // namespace vorl::engine
