#include "core/stream_builder.h"

#include <utility>

#include "core/crc32.h"
#include "core/format.h"
#include "core/record_recode.h"
#include "core/writer.h"

namespace vorl {

StreamBuilder::StreamBuilder(std::string target, StreamOptions options, PendingFile file)
    : target_(std::move(target)),
      options_(std::move(options)),
      file_(std::move(file)),
      out_(*file_, format::kHeaderSize, 0) {}

Result<std::unique_ptr<StreamBuilder>> StreamBuilder::Create(std::string_view target, StreamOptions options) {
  Result<PendingFile> file = PendingFile::Create(target, options.cancel);
  if (!file.ok()) return std::move(file).status();
  std::unique_ptr<StreamBuilder> builder(
      new StreamBuilder(std::string(target), std::move(options), std::move(file).value()));
  if (Status s = AppendPlaceholderHeader(*builder->file_); !s.ok()) return s;  // the destructor discards
  return builder;
}

Status StreamBuilder::FinishedError() const {
  return Status::Other("the builder of " + target_ + " is finished: it was committed, discarded or failed");
}

Result<std::uint32_t> StreamBuilder::AddObject(std::string_view blob) {
  if (finished()) return FinishedError();
  if (Status s = CheckNewObject(blob.size(), record_offsets_.size()); !s.ok()) return s;
  const auto id = static_cast<std::uint32_t>(record_offsets_.size());
  // Taken first: running out of memory here leaves the file as it was.
  record_offsets_.push_back(out_.position() - format::kDataOffset);
  unsigned char header[format::kRecordHeaderSize];
  format::EncodeRecordHeader(header, static_cast<std::uint32_t>(blob.size()),
                             crc32::Value(blob.data(), blob.size()));
  Status s = out_.Append(header, sizeof header);
  if (s.ok()) s = out_.Append(blob.data(), blob.size());
  if (!s.ok()) {
    Discard();
    return s;
  }
  return id;
}

Status StreamBuilder::AddKey(std::string_view key, std::uint32_t obj_id) {
  if (finished()) return FinishedError();
  if (Status s = CheckNewKey(key, obj_id, record_offsets_.size()); !s.ok()) return s;
  return keys_.Put(key, obj_id, options_.on_duplicate);
}

Result<BuildSummary> StreamBuilder::Commit(std::string_view dictionary, const Recode& recode) {
  if (finished()) return FinishedError();
  // Finished on every way out, an exception included.  After a successful
  // publish the file has its final name and Discard leaves it alone.
  struct FinishOnExit {
    StreamBuilder* builder;
    ~FinishOnExit() { builder->Discard(); }
  } finish{this};
  // No key is added from here on; the sort runs without the hash table.
  keys_.ReleaseTable();
  std::uint64_t num_objects = record_offsets_.size();
  std::optional<KeptRecords> kept;
  if (options_.drop_unreachable)
    kept = PlanKeptRecords(keys_, record_offsets_, out_.position() - format::kDataOffset);
  if (recode) {
    Result<RecodedRecords> recoded =
        RecodeRecords(*file_, record_offsets_, out_.position() - format::kDataOffset, kept ? &*kept : nullptr,
                      recode, options_.cancel);
    if (!recoded.ok()) return std::move(recoded).status();
    out_ = StoreAppender(*file_, format::kDataOffset + recoded.value().size, recoded.value().crc);
    record_offsets_ = std::move(recoded.value().offsets);
    num_objects = recoded.value().count;
  } else if (kept) {
    Result<std::uint32_t> crc = CompactRecords(*file_, *kept);
    if (!crc.ok()) return std::move(crc).status();
    out_ = StoreAppender(*file_, format::kDataOffset + kept->size, crc.value());
    record_offsets_ = std::move(kept->offsets);
    num_objects = kept->count;
  }
  Status s = FinishStore(out_, *file_, keys_, record_offsets_, num_objects,
                         IndexOptions{options_.hash_index, options_.seed, dictionary});
  if (s.ok()) s = file_->Commit(options_.cancel);
  if (!s.ok()) return s;
  return PublishedSummary(
      {target_, num_objects, keys_.size(), out_.position(), out_.crc(), keys_.duplicates()}, options_.print_summary);
}

void StreamBuilder::Discard() {
  if (!file_) return;
  file_->Discard();
  file_.reset();
}

}  // namespace vorl
