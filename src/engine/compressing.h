// Compressing: the adds of a writer or streaming builder (Core is
// vorl::Writer or vorl::StreamBuilder) with every object compressed on its
// way in, as AddChecked and AddManyChecked call them.
//
// The dictionary is trained on a sample of the records spread over all of
// them.  The in-memory writer keeps every object until the build anyway:
// objects wait here (instead of in the writer, so the memory is the same),
// with the keys added meanwhile, and go to the core compressed, in the
// order they came, once it is trained; ids are handed out at once, as the
// core would.  The streaming builder, whose point is to keep nothing, hands
// objects to its core as they come and keeps a sample of them here: every
// stride-th object, the stride doubling (and every other sample dropping
// out) whenever the sample outgrows twice kSampleBytes, so that it spreads
// evenly over however many come.  Its core recodes the records at the
// commit (recode()).  Without compression every call goes straight to the
// core.  Not thread-safe; the owner serialises calls.
#ifndef VORLSTORE_ENGINE_COMPRESSING_H_
#define VORLSTORE_ENGINE_COMPRESSING_H_

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/record_recode.h"
#include "core/status.h"
#include "core/writer.h"
#include "engine/compression.h"

namespace vorl::engine {

// kWhole: objects wait for the dictionary.  kSpread: objects go to the core
// as they come and are recoded at its commit.
enum class Sample : std::uint8_t { kWhole, kSpread };

// Bytes of objects compressed at once when the dictionary is trained.
inline constexpr std::size_t kRunBytes = std::size_t{4} << 20;

template <typename Core>
class Compressing {
 public:
  // `level` no value: no compression.
  Compressing(Core& core, std::optional<int> level, Sample sample) : core_(core), sample_(sample) {
    if (level) compressor_ = std::make_unique<RecordCompressor>(*level);
  }

  std::uint64_t num_objects() const { return core_.num_objects() + waiting_objects(); }
  std::uint64_t num_keys() const { return core_.num_keys() + waiting_keys_.size(); }
  OnDuplicate on_duplicate() const { return core_.on_duplicate(); }
  // Whether `key` is held, by the core or waiting.  Asked only under
  // OnDuplicate::kError, the one rule that keeps a set of the waiting keys.
  bool HasKey(std::string_view key) const {
    return core_.HasKey(key) || waiting_key_set_.contains(std::string(key));
  }

  Result<std::uint32_t> AddObject(std::string_view blob) {
    if (compressor_ == nullptr) return core_.AddObject(blob);
    if (!sampling_) return AddEncoded(blob);
    if (sample_ == Sample::kSpread) {
      Result<std::uint32_t> id = core_.AddObject(blob);
      if (id.ok()) Offer(blob);
      return id;
    }
    if (Status s = CheckNewObject(blob.size(), num_objects()); !s.ok()) return s;
    const auto id = static_cast<std::uint32_t>(num_objects());
    waiting_.Add(blob);
    return id;
  }

  Status AddKey(std::string_view key, std::uint32_t obj_id) {
    if (waiting_.size() == 0 || sample_ == Sample::kSpread) return core_.AddKey(key, obj_id);
    if (Status s = CheckNewKey(key, obj_id, num_objects()); !s.ok()) return s;
    waiting_keys_.emplace_back(std::string(key), obj_id);
    if (on_duplicate() == OnDuplicate::kError) waiting_key_set_.emplace(key);
    return {};
  }

  // A record exactly as another store holds it: stored as it is when this
  // store compresses with `dictionary` too (adopting it when nothing has
  // been added yet), else expanded by `expand` and added as an object.
  template <typename Expand>
  Result<std::uint32_t> AddStored(std::string_view stored, const std::string& dictionary, Expand&& expand) {
    if (compressor_ != nullptr && sampling_ && num_objects() == 0 && !dictionary.empty()) {
      if (compressor_->Adopt(dictionary).ok()) sampling_ = false;
    }
    if (compressor_ != nullptr && !sampling_ && compressor_->ready() &&
        compressor_->dictionary() == dictionary) {
      return core_.AddObject(stored);
    }
    std::string scratch;
    Result<std::string_view> blob = expand(stored, scratch);
    if (!blob.ok()) return std::move(blob).status();
    return AddObject(blob.value());
  }

  // Trains on what waits (when still sampling) and hands it to the core.
  // The dictionary the store's records use, empty for none, is then
  // dictionary().
  Status Flush() {
    if (compressor_ == nullptr || !sampling_) return {};
    sampling_ = false;
    Train();
    if (sample_ == Sample::kSpread) {
      recodes_ = compressor_->ready();
      waiting_ = PayloadBatch();
      return {};
    }
    const PayloadBatch objects = std::move(waiting_);
    const std::vector<std::pair<std::string, std::uint32_t>> keys = std::move(waiting_keys_);
    waiting_ = PayloadBatch();
    waiting_keys_.clear();
    waiting_key_set_.clear();
    // Compressed a run at a time, so that the compressed copies in memory
    // stay a few MiB while several threads share the work.
    std::vector<std::string_view> run;
    std::size_t run_bytes = 0;
    PayloadBatch stored;
    for (std::size_t i = 0; i < objects.size(); ++i) {
      run.push_back(objects[i]);
      run_bytes += run.back().size();
      if (run_bytes < kRunBytes && i + 1 < objects.size()) continue;
      if (Status s = AddRun(run, stored); !s.ok()) return s;
      run.clear();
      run_bytes = 0;
    }
    for (const auto& [key, id] : keys) {
      if (Status s = core_.AddKey(key, id); !s.ok()) return s;
    }
    return {};
  }

  // What the core's commit must make of the records it holds, after
  // Flush: compress them, when this builder trained its dictionary there;
  // nothing (an empty function) when they went in compressed or raw for good.
  Recode recode() {
    if (!recodes_) return {};
    return [this](std::span<const std::string_view> payloads, PayloadBatch& out) {
      return compressor_->EncodeMany(payloads, out);
    };
  }

  std::string_view dictionary() const {
    return compressor_ != nullptr && compressor_->ready() ? std::string_view(compressor_->dictionary())
                                                           : std::string_view();
  }

 private:
  // Trains on every object waiting, or, when they hold more than
  // kSampleBytes, on about that many bytes of them picked evenly.
  void Train() {
    const std::size_t n = waiting_.size();
    const std::size_t bytes = waiting_.bytes.size();
    const std::size_t picks =
        bytes > kSampleBytes ? std::max<std::size_t>(1, n * (kSampleBytes / 1024) / (bytes / 1024)) : n;
    std::string joined;
    std::vector<std::size_t> sizes;
    for (std::size_t k = 0; k < picks; ++k) {
      const std::string_view object = waiting_[k * n / picks];
      joined.append(object);
      sizes.push_back(object.size());
    }
    compressor_->Train(joined, sizes);
  }

  std::uint64_t waiting_objects() const { return sample_ == Sample::kSpread ? 0 : waiting_.size(); }

  // Takes every stride-th object into the sample; past twice kSampleBytes
  // the stride doubles and the samples at odd multiples of the old one
  // drop out.  Train then strides through what is left.
  void Offer(std::string_view blob) {
    if (offered_++ % stride_ != 0) return;
    waiting_.Add(blob);
    if (waiting_.bytes.size() <= 2 * kSampleBytes) return;
    PayloadBatch kept;
    for (std::size_t i = 0; i < waiting_.size(); i += 2) kept.Add(waiting_[i]);
    waiting_ = std::move(kept);
    stride_ *= 2;
  }

  // Hands the objects of `run` to the core, compressed (or as they are,
  // when no dictionary could be trained); `stored` is scratch space.
  Status AddRun(std::span<const std::string_view> run, PayloadBatch& stored) {
    stored.Clear();
    if (compressor_->ready()) {
      if (Status s = compressor_->EncodeMany(run, stored); !s.ok()) return s;
    }
    for (std::size_t i = 0; i < run.size(); ++i) {
      Result<std::uint32_t> id = core_.AddObject(compressor_->ready() ? stored[i] : run[i]);
      if (!id.ok()) return std::move(id).status();
    }
    return {};
  }

  Result<std::uint32_t> AddEncoded(std::string_view blob) {
    if (!compressor_->ready()) return core_.AddObject(blob);
    Result<std::string_view> stored = compressor_->Encode(blob, scratch_);
    if (!stored.ok()) return std::move(stored).status();
    return core_.AddObject(stored.value());
  }

  Core& core_;
  Sample sample_;
  std::unique_ptr<RecordCompressor> compressor_;
  bool sampling_ = true;
  bool recodes_ = false;
  // Objects offered to a spread sample so far, and its stride.
  std::uint64_t offered_ = 0;
  std::uint64_t stride_ = 1;
  // The objects waiting for the dictionary (kSpread: the sample).
  PayloadBatch waiting_;
  std::vector<std::pair<std::string, std::uint32_t>> waiting_keys_;
  std::unordered_set<std::string> waiting_key_set_;
  std::string scratch_;
};

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_COMPRESSING_H_
