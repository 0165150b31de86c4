#include "engine/store_writer.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string_view.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/format.h"
#include "core/store_merge.h"
#include "engine/adding.h"
#include "engine/bindings.h"
#include "engine/errors.h"
#include "engine/keys.h"
#include "engine/sequence.h"
#include "engine/store_reader.h"

namespace vorl::engine {

void StoreWriter::Ready() const {
  if (busy_) throw Failure(FailureKind::kBusy, "writer is busy building in another thread");
}

namespace {

// The merge's target: records go to the writer as stored, or expanded by
// `source` when this writer compresses with another dictionary.
class AddingTarget final : public MergeTarget {
 public:
  AddingTarget(Compressing<Writer>& adding, const StoreReader& source) : adding_(adding), source_(source) {}

  Result<std::uint32_t> AddStored(std::string_view stored) override {
    return adding_.AddStored(
        stored, source_.Get().dictionary(),
        [this](std::string_view s, std::string& scratch) { return source_.Expand(s, scratch); });
  }
  Status AddKey(std::string_view key, std::uint32_t obj_id) override { return adding_.AddKey(key, obj_id); }

 private:
  Compressing<Writer>& adding_;
  const StoreReader& source_;
};

}  // namespace

void StoreWriter::CopyFrom(const StoreReader& source, nb::handle later, nb::handle deleted) {
  Ready();
  const Reader& reader = source.Get();
  const Items later_items(later, "later stores must be a sequence");
  std::vector<const Reader*> shadowing;
  for (std::size_t i = 0; i < later_items.size(); ++i) {
    shadowing.push_back(&nb::cast<const StoreReader&>(later_items[i]).Get());
  }
  const Items deleted_items(deleted, "deleted keys must be a sequence");
  const std::vector<KeyArg> deleted_keys = CheckedKeys(deleted_items);
  std::vector<std::string_view> gone;
  gone.reserve(deleted_keys.size());
  for (const KeyArg& k : deleted_keys) gone.push_back(k.bytes());
  AddingTarget target(adding_, source);
  source.Settle(MergeStore(reader, shadowing, gone, source.check_reads(), target));
}

nb::dict StoreWriter::Build(const nb::bytes& path, bool hash_index, std::optional<std::uint64_t> seed) {
  Ready();
  const std::string target(path.c_str(), path.size());
  last_build_ = Publish(target, busy_, started_, [&](const CancelCheck& cancel) {
    BuildOptions options;
    options.print_summary = false;
    options.keep_failed_temporary = false;
    options.hash_index = hash_index;
    options.seed = seed;
    options.drop_unreachable = true;
    options.cancel = cancel;
    // Records still waiting for the dictionary go to the writer first.
    if (Status s = adding_.Flush(); !s.ok()) return Result<BuildSummary>(std::move(s));
    options.dictionary = adding_.dictionary();
    return writer_.Build(target, options);
  });
  return nb::borrow<nb::dict>(last_build_);
}

void BindWriter(nb::module_& m) {
  nb::class_<StoreWriter, Adder>(m, "Writer",
                                 "Collects objects and keys in memory and publishes them as one store.")
      .def(nb::init<std::string_view, std::optional<int>>(), nb::arg("on_duplicate") = "last",
           nb::arg("level") = nb::none())
      .def("copy_from", &StoreWriter::CopyFrom, nb::arg("source"), nb::arg("later"), nb::arg("deleted"),
           nb::sig("def copy_from(self, source: Reader, later: collections.abc.Sequence[Reader], deleted: "
                   "collections.abc.Sequence[str | bytes | bytearray], /) -> None"),
           "Adds the keys of `source` that no store in `later` holds and `deleted` does not name.")
      .def("build", &StoreWriter::Build, nb::arg("path"), nb::arg("hash_index") = false,
           nb::arg("seed").none() = nb::none(),
           nb::sig("def build(self, path: bytes, /, hash_index: bool = False, seed: int | None = None) -> "
                   "dict[str, str | int | float]"),
           "Publishes the store at `path` atomically and returns its summary.")
      .def_prop_ro("last_build", &StoreWriter::last_build,
                   nb::sig("def last_build(self) -> dict[str, str | int | float] | None"),
                   "The summary of the last build that published, or None.");
  m.def(
      "temporary_path",
      [](const nb::bytes& target) {
        const std::string tmp = TemporaryPathFor(std::string_view(target.c_str(), target.size()));
        return nb::bytes(tmp.data(), tmp.size());
      },
      nb::arg("target"), "Where a build of `target` writes before it renames the file into place.");
}

}  // namespace vorl::engine
