// What the package's in-memory writer and its streaming builder share: the
// checked adds (Adder) and publishing with Ctrl-C as the cancel check.
#ifndef VORLSTORE_ENGINE_ADDING_H_
#define VORLSTORE_ENGINE_ADDING_H_

#include <nanobind/nanobind.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/build_summary.h"
#include "core/file.h"
#include "core/key_map.h"
#include "core/status.h"
#include "engine/errors.h"
#include "engine/keys.h"
#include "engine/sequence.h"

namespace vorl::engine {

namespace nb = nanobind;

// Converts and checks every key of `keys`.  Runs no Python code, so the
// views stay valid until the caller's next Python call.
std::vector<KeyArg> CheckedKeys(const Items& keys);

// The duplicate rule named by `name`: "last", "first" or "error";
// ValueError for anything else.
OnDuplicate ParseOnDuplicate(std::string_view name);

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
  std::optional<nb::python_error> interrupt_;
};

// Runs `build` without the GIL, asking it to stop on a pending Ctrl-C, and
// returns the summary dict (path, objects, keys, bytes, duplicates,
// seconds); seconds run from `started`, when the caller began the build.
// The handler's exception is raised once the core has stopped.
using Clock = std::chrono::steady_clock;
nb::dict Publish(const std::string& target, bool& busy, Clock::time_point started,
                 const std::function<Result<BuildSummary>(const CancelCheck&)>& build);

// The adding surface the package's writer and streaming builder share, bound
// once as the base class of both.  Every add converts and checks all it was
// given before it stores anything (under the rule that refuses duplicates,
// a key held already or named twice too), so a failed call leaves the store
// as it was.  Python code may run inside an add (iterating a generator argument, the
// `check` of add_many_raw), and another thread may start a build or finish
// the builder meanwhile: Ready() is asked again after it, just before the
// first change.
class Adder {
 public:
  virtual ~Adder() = default;

  // Stores `blob` under each key of the sequence `keys`; returns its id.
  std::uint32_t Add(const nb::bytes& blob, nb::handle keys);
  // Stores blobs[i] under keys[i] (equal lengths); returns the first id.
  std::uint32_t AddMany(nb::handle blobs, nb::handle keys);
  // As AddMany; each object that is not bytes a reader reads (as far as the
  // native check can tell) is replaced by what the package's Python `check`
  // returns for it, which raises for unreadable ones.  One call per bulk add,
  // so that only those objects pay for a Python call.
  std::uint32_t AddManyRaw(nb::handle objects, nb::handle keys, nb::handle check);
  void AddKey(nb::handle key, std::int64_t obj_id);

  virtual std::uint64_t num_objects() const = 0;
  virtual std::uint64_t num_keys() const = 0;

 protected:
  // Throws the busy or finished failure when nothing may be added now.
  virtual void Ready() const = 0;
  // REQUIRES: Ready() did not throw and no Python code ran since.
  virtual Result<std::uint32_t> StoreObject(std::string_view blob) = 0;
  virtual Status StoreKey(std::string_view key, std::uint32_t obj_id) = 0;
  virtual OnDuplicate on_duplicate() const = 0;
  virtual bool HasKey(std::string_view key) const = 0;
  // The file that errors name; empty while there is none.
  virtual const std::string& filename() const = 0;

 private:
  std::uint32_t AddPairs(const Items& blobs, const Items& keys, nb::handle check);
  // Under OnDuplicate::kError, throws the duplicate failure for the first of
  // `checked` (converted from `items`) that the store holds already or that
  // the call names twice.
  void RefuseDuplicates(const std::vector<KeyArg>& checked, const Items& items) const;
};

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_ADDING_H_
