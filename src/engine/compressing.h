// Compressing: the adds of a writer or streaming builder (Core is
// vorl::Writer or vorl::StreamBuilder) with every object compressed on its
// way in, as AddChecked and AddManyChecked call them.
//
// The dictionary is trained on the first records: objects wait here, with
// the keys added meanwhile, until kSampleBytes of them have come (or the
// store is finished), then the dictionary is trained and they go to the core
// in the order they came.  Ids are handed out at once, as the core would.
// Without compression every call goes straight to the core.  Not
// thread-safe; the owner serialises calls.
#ifndef VORLSTORE_ENGINE_COMPRESSING_H_
#define VORLSTORE_ENGINE_COMPRESSING_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/status.h"
#include "core/writer.h"
#include "engine/compression.h"

namespace vorl::engine {

template <typename Core>
class Compressing {
 public:
  // `level` no value: no compression.
  Compressing(Core& core, std::optional<int> level) : core_(core) {
    if (level) compressor_ = std::make_unique<RecordCompressor>(*level);
  }

  bool compressing() const { return compressor_ != nullptr; }
  std::uint64_t num_objects() const { return core_.num_objects() + pending_.size(); }
  std::uint64_t num_keys() const { return core_.num_keys() + pending_keys_.size(); }

  Result<std::uint32_t> AddObject(std::string_view blob) {
    if (compressor_ == nullptr) return core_.AddObject(blob);
    if (!sampling_) return AddEncoded(blob);
    if (Status s = CheckNewObject(blob.size(), num_objects()); !s.ok()) return s;
    const auto id = static_cast<std::uint32_t>(num_objects());
    pending_.emplace_back(blob);
    pending_bytes_ += blob.size();
    if (pending_bytes_ >= kSampleBytes) {
      if (Status s = Flush(); !s.ok()) return s;
    }
    return id;
  }

  Status AddKey(std::string_view key, std::uint32_t obj_id) {
    if (pending_.empty()) return core_.AddKey(key, obj_id);
    if (Status s = CheckNewKey(key, obj_id, num_objects()); !s.ok()) return s;
    pending_keys_.emplace_back(std::string(key), obj_id);
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
    compressor_->Train(pending_);
    std::vector<std::string> objects = std::move(pending_);
    std::vector<std::pair<std::string, std::uint32_t>> keys = std::move(pending_keys_);
    pending_.clear();
    pending_keys_.clear();
    pending_bytes_ = 0;
    for (const std::string& blob : objects) {
      if (Result<std::uint32_t> id = AddEncoded(blob); !id.ok()) return std::move(id).status();
    }
    for (const auto& [key, id] : keys) {
      if (Status s = core_.AddKey(key, id); !s.ok()) return s;
    }
    return {};
  }

  std::string_view dictionary() const {
    return compressor_ != nullptr && compressor_->ready() ? std::string_view(compressor_->dictionary())
                                                           : std::string_view();
  }

 private:
  Result<std::uint32_t> AddEncoded(std::string_view blob) {
    if (!compressor_->ready()) return core_.AddObject(blob);
    Result<std::string_view> stored = compressor_->Encode(blob, scratch_);
    if (!stored.ok()) return std::move(stored).status();
    return core_.AddObject(stored.value());
  }

  Core& core_;
  std::unique_ptr<RecordCompressor> compressor_;
  bool sampling_ = true;
  std::vector<std::string> pending_;
  std::vector<std::pair<std::string, std::uint32_t>> pending_keys_;
  std::size_t pending_bytes_ = 0;
  std::string scratch_;
};

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_COMPRESSING_H_
