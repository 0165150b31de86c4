// StoreBuilder: the package's streaming builder over the core StreamBuilder.
// Objects go to the temporary file as they are added; commit publishes,
// discard (or the builder's end without a commit) removes the temporary
// file.  Adds check everything first, as the writer's do.
#ifndef VORLSTORE_ENGINE_STORE_BUILDER_H_
#define VORLSTORE_ENGINE_STORE_BUILDER_H_

#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/file.h"
#include "core/stream_builder.h"
#include "engine/adding.h"
#include "engine/compressing.h"

namespace vorl::engine {

namespace nb = nanobind;

class StoreBuilder final : public Adder {
 public:
  // `on_duplicate` names the duplicate rule; `seed` keys the hash index
  // (None: derived from the content).  The build's seconds run from here.
  // `level` no value: records are stored as they are; else compressed at
  // that zstd level with a dictionary trained on a sample spread over all
  // the records, which the commit compresses.
  StoreBuilder(const nb::bytes& path, bool hash_index, std::string_view on_duplicate,
               std::optional<std::uint64_t> seed, std::optional<int> level);

  // Publishes the store; a pending Ctrl-C stops it with the target untouched.
  nb::dict Commit();
  // The summary of the commit that published, or None.
  nb::object last_build() const { return last_build_; }
  void Discard();

  bool finished() const { return builder_->finished(); }
  std::uint64_t num_objects() const override { return adding_->num_objects(); }
  std::uint64_t num_keys() const override { return adding_->num_keys(); }

 private:
  void Ready() const override;
  Result<std::uint32_t> StoreObject(std::string_view blob) override { return adding_->AddObject(blob); }
  Status StoreKey(std::string_view key, std::uint32_t obj_id) override { return adding_->AddKey(key, obj_id); }
  OnDuplicate on_duplicate() const override { return adding_->on_duplicate(); }
  bool HasKey(std::string_view key) const override { return adding_->HasKey(key); }
  const std::string& filename() const override { return target_; }

  std::string target_;
  Clock::time_point started_;
  bool busy_ = false;
  nb::object last_build_ = nb::none();
  // The cancel check of the commit under way; the core's options ask it.
  CancelCheck cancel_;
  std::unique_ptr<StreamBuilder> builder_;
  std::unique_ptr<Compressing<StreamBuilder>> adding_;  // adds to *builder_
};

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_STORE_BUILDER_H_
