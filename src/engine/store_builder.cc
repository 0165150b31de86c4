#include "engine/store_builder.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>

#include <optional>

#include "core/add_hash_index.h"
#include "engine/adding.h"
#include "engine/bindings.h"
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
  adding_ = std::make_unique<Compressing<StreamBuilder>>(*builder_, level, Sample::kSpread);
}

void StoreBuilder::Ready() const {
  if (busy_) throw Failure(FailureKind::kBusy, "builder is busy committing in another thread");
  if (builder_->finished()) {
    throw Failure(FailureKind::kClosed, "builder is finished (committed or discarded)", target_);
  }
}

nb::dict StoreBuilder::Commit() {
  Ready();
  Compressing<StreamBuilder>& adding = *adding_;
  last_build_ = Publish(target_, busy_, started_, [&](const CancelCheck& cancel) {
    // The dictionary is trained on the sample first; the records are
    // compressed with it as the commit rewrites them.
    if (Status s = adding.Flush(); !s.ok()) {
      builder_->Discard();
      return Result<BuildSummary>(std::move(s));
    }
    cancel_ = cancel;
    Result<BuildSummary> done = builder_->Commit(adding.dictionary(), adding.recode());
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
  nb::class_<StoreBuilder, Adder>(m, "Builder", "Streams objects to a store's temporary file; commit publishes it.")
      .def(nb::init<const nb::bytes&, bool, std::string_view, std::optional<std::uint64_t>, std::optional<int>>(),
           nb::arg("path"), nb::arg("hash_index") = true, nb::arg("on_duplicate") = "last",
           nb::arg("seed").none() = nb::none(), nb::arg("level").none() = nb::none())
      .def("commit", &StoreBuilder::Commit, nb::sig("def commit(self) -> dict[str, str | int | float]"),
           "Publishes the store atomically and returns its summary.")
      .def("discard", &StoreBuilder::Discard, "Removes the temporary file; nothing is published.")
      .def_prop_ro("last_build", &StoreBuilder::last_build,
                   nb::sig("def last_build(self) -> dict[str, str | int | float] | None"),
                   "The summary of the commit that published, or None.")
      .def_prop_ro("finished", &StoreBuilder::finished);
}

}  // namespace vorl::engine
