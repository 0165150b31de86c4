#include "engine/store_writer.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string_view.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/format.h"
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
  std::unordered_set<std::string_view> gone(deleted_keys.size());
  for (const KeyArg& k : deleted_keys) gone.insert(k.bytes());
  // Record offset in the source -> id here: keys that share an object there
  // share it here too.
  std::unordered_map<std::uint64_t, std::uint32_t> ids;
  source.Settle(
      reader.VisitLiveEntries(0, reader.num_entries(), [&](std::size_t, const EntryView& entry) -> Status {
        if (gone.contains(entry.key)) return {};
        for (const Reader* other : shadowing) {
          Result<std::optional<std::uint64_t>> found = other->Find(entry.key);
          if (!found.ok()) return std::move(found).status();
          if (found.value()) return {};
        }
        auto [it, fresh] = ids.try_emplace(entry.object_offset, 0);
        if (fresh) {
          Result<std::string_view> payload = reader.ObjectView(entry.object_offset);
          if (!payload.ok()) return std::move(payload).status();
          Result<std::uint32_t> id = adding_.AddStored(
              source.Intact(payload.value(), nb::none(), entry.object_offset), reader.dictionary(),
              [&](std::string_view stored, std::string& scratch) { return source.Expand(stored, scratch); });
          if (!id.ok()) return std::move(id).status();
          it->second = id.value();
        }
        return adding_.AddKey(entry.key, it->second);
      }));
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
