// What the package's in-memory writer and its streaming builder share: the
// checked adds (every key and blob checked before anything is stored, so a
// failed call leaves the store as it was) and publishing with Ctrl-C as the
// cancel check.  Core is vorl::Writer or vorl::StreamBuilder.
#ifndef VORLSTORE_ENGINE_ADDING_H_
#define VORLSTORE_ENGINE_ADDING_H_

#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/build_summary.h"
#include "core/file.h"
#include "core/format.h"
#include "core/key_map.h"
#include "core/status.h"
#include "engine/errors.h"
#include "engine/keys.h"
#include "engine/sequence.h"

namespace vorl::engine {

namespace nb = nanobind;

// Converts and checks every key of `keys` before anything is stored.
std::vector<KeyArg> CheckedKeys(const Items& keys);
// The duplicate rule named by `name`: "last", "first" or "error";
// ValueError for anything else.
OnDuplicate ParseOnDuplicate(std::string_view name);
// The failure for adding `key` (a Python key) again under kError.
Failure DuplicateFailure(nb::handle key, const std::string& filename);
// Each object of `blobs` as bytes that a reader reads back: the object
// itself when it is bytes that KnownReadable accepts, else what the
// package's Python `check` returns for it (which raises for bytes no reader
// reads).  One call per bulk add, so that only the objects the native check
// cannot vouch for pay for a Python call.
std::vector<nb::object> CheckedBlobs(const Items& blobs, nb::handle check);
// The bytes of a blob argument; TypeError for anything but bytes.
std::string_view BlobView(nb::handle blob);

// Marks a writer busy for the duration of a call that may release the GIL.
class BusyScope {
 public:
  explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
  ~BusyScope() { busy_ = false; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  bool& busy_;
};

// A cancel check for core calls run without the GIL: it takes the GIL back
// for a moment and stops on a signal whose handler raises (Ctrl-C), keeping
// the handler's exception (KeyboardInterrupt) to be raised once the core
// has stopped.
class SignalCancel {
 public:
  CancelCheck Check();
  // Raises the kept exception, if any.
  void RaiseIfStopped();

 private:
  nb::object interrupt_;
};

// Runs `build` without the GIL, asking it to stop on a pending Ctrl-C, and
// returns the summary dict (path, objects, keys, bytes, duplicates,
// seconds); seconds run from `started`, when the caller began the build.
// The handler's exception is raised once the core has stopped.
using Clock = std::chrono::steady_clock;
nb::dict Publish(const std::string& target, bool& busy, Clock::time_point started,
                 const std::function<Result<BuildSummary>(const CancelCheck&)>& build);

// Under kError, throws the duplicate failure for the first of `checked`
// (converted from `items`) that the core holds already or that the call
// names twice, so that a refused call stores nothing.
template <typename Core>
void RefuseDuplicates(const Core& core, const std::vector<KeyArg>& checked, const Items& items,
                      const std::string& filename) {
  if (core.on_duplicate() != OnDuplicate::kError) return;
  std::unordered_set<std::string_view> named;
  for (std::size_t i = 0; i < checked.size(); ++i) {
    const std::string_view k = checked[i].bytes();
    if (core.HasKey(k) || (checked.size() > 1 && !named.insert(k).second)) {
      throw DuplicateFailure(items[i], filename);
    }
  }
}

template <typename Core>
std::uint32_t AddChecked(Core& core, const nb::bytes& blob, nb::handle keys, const std::string& filename) {
  const Items items(keys, "keys must be a sequence");
  const std::vector<KeyArg> checked = CheckedKeys(items);
  RefuseDuplicates(core, checked, items, filename);
  if (core.num_keys() + checked.size() > format::kMaxCount) {
    throw Failure(FailureKind::kRequest, "too many keys: the limit is " + std::to_string(format::kMaxCount));
  }
  const std::uint32_t id = Unwrap(core.AddObject(BlobView(blob)), {});
  for (const KeyArg& key : checked) Check(core.AddKey(key.bytes(), id), {});
  return id;
}

// Adds blobs[i] under keys[i].  With a `check` (not None) every object is
// checked by CheckedBlobs first, before the counts and keys are.
template <typename Core>
std::uint32_t AddManyChecked(Core& core, nb::handle blobs, nb::handle keys, nb::handle check,
                             const std::string& filename) {
  const Items blob_items(blobs, "objects must be a sequence");
  const std::vector<nb::object> checked_blobs =
      check.is_none() ? std::vector<nb::object>() : CheckedBlobs(blob_items, check);
  const Items key_items(keys, "keys must be a sequence");
  if (blob_items.size() != key_items.size()) {
    throw nb::value_error(("objects and keys differ in length: " + std::to_string(blob_items.size()) +
                           " and " + std::to_string(key_items.size()))
                              .c_str());
  }
  const std::vector<KeyArg> checked = CheckedKeys(key_items);
  RefuseDuplicates(core, checked, key_items, filename);
  std::vector<std::string_view> views;
  views.reserve(blob_items.size());
  for (std::size_t i = 0; i < blob_items.size(); ++i) {
    views.push_back(BlobView(check.is_none() ? blob_items[i] : nb::handle(checked_blobs[i])));
    if (views.back().size() > format::kMaxPayloadLength) {
      throw Failure(FailureKind::kRequest, "object " + std::to_string(i) + " of " +
                                               std::to_string(views.back().size()) +
                                               " bytes exceeds the limit of " +
                                               std::to_string(format::kMaxPayloadLength) + " bytes");
    }
  }
  if (core.num_objects() + views.size() > format::kMaxCount ||
      core.num_keys() + views.size() > format::kMaxCount) {
    throw Failure(FailureKind::kRequest,
                  "too many objects or keys: the limit is " + std::to_string(format::kMaxCount));
  }
  const auto first = static_cast<std::uint32_t>(core.num_objects());
  for (std::size_t i = 0; i < views.size(); ++i) {
    const std::uint32_t id = Unwrap(core.AddObject(views[i]), {});
    Check(core.AddKey(checked[i].bytes(), id), {});
  }
  return first;
}

template <typename Core>
void AddKeyChecked(Core& core, nb::handle key, std::int64_t obj_id, const std::string& filename) {
  const KeyArg k(key);
  CheckKeyLength(k.bytes());
  if (core.on_duplicate() == OnDuplicate::kError && core.HasKey(k.bytes()))
    throw DuplicateFailure(key, filename);
  // Ids beyond 32 bits name no object either; the core checks the rest.
  if (obj_id < 0 || obj_id > static_cast<std::int64_t>(format::kMaxCount)) {
    throw Failure(FailureKind::kRequest, "obj_id " + std::to_string(obj_id) + " out of range (have " +
                                             std::to_string(core.num_objects()) + " objects)");
  }
  Check(core.AddKey(k.bytes(), static_cast<std::uint32_t>(obj_id)), {});
}

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_ADDING_H_
