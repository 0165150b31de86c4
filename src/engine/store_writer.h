// StoreWriter: the package's writer over the core Writer.  Every add checks
// all of its keys before it stores anything, so a failed call leaves the
// writer as it was.  A build runs without the GIL; the writer refuses other
// calls until it ends (the busy failure) instead of letting them race it.
#ifndef VORLSTORE_ENGINE_STORE_WRITER_H_
#define VORLSTORE_ENGINE_STORE_WRITER_H_

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/writer.h"
#include "engine/adding.h"
#include "engine/compressing.h"

namespace vorl::engine {

namespace nb = nanobind;

class StoreReader;

class StoreWriter final : public Adder {
 public:
  // `on_duplicate` names the duplicate rule ("last", "first" or "error");
  // `level` no value: records are stored as they are, else compressed at
  // that zstd level with a dictionary trained on records of the whole store.
  StoreWriter(std::string_view on_duplicate, std::optional<int> level)
      : writer_(ParseOnDuplicate(on_duplicate)), adding_(writer_, level, Sample::kWhole), started_(Clock::now()) {}

  // Adds every key of `source` that none of the readers in `later` holds
  // and the sequence `deleted` does not name, with its object copied as
  // stored; objects shared by keys of `source` stay shared.
  void CopyFrom(const StoreReader& source, nb::handle later, nb::handle deleted);
  // Publishes the store at `path` (with the hash index section when asked,
  // keyed by `seed` or by the content when None), leaving out objects no
  // key names; returns the summary, whose seconds run from the writer's
  // creation.  A pending signal whose handler raises (Ctrl-C) stops it
  // before anything is written.
  nb::dict Build(const nb::bytes& path, bool hash_index, std::optional<std::uint64_t> seed);

  // The summary of the last build that published, kept so that a caller
  // interrupted just as Build returned can still learn that it published.
  nb::object last_build() const { return last_build_; }

  std::uint64_t num_objects() const override { return adding_.num_objects(); }
  std::uint64_t num_keys() const override { return adding_.num_keys(); }

 private:
  void Ready() const override;
  Result<std::uint32_t> StoreObject(std::string_view blob) override { return adding_.AddObject(blob); }
  Status StoreKey(std::string_view key, std::uint32_t obj_id) override { return adding_.AddKey(key, obj_id); }
  OnDuplicate on_duplicate() const override { return adding_.on_duplicate(); }
  bool HasKey(std::string_view key) const override { return adding_.HasKey(key); }
  const std::string& filename() const override { return kNoFile; }

  inline static const std::string kNoFile;

  Writer writer_;
  Compressing<Writer> adding_;  // adds to writer_
  Clock::time_point started_;
  bool busy_ = false;
  nb::object last_build_ = nb::none();
};

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_STORE_WRITER_H_
