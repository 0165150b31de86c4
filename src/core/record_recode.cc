#include "core/record_recode.h"

#include <algorithm>
#include <utility>

#include "core/crc32.h"
#include "core/format.h"

namespace vorl {
namespace {

constexpr std::size_t kChunkSize = std::size_t{1} << 20;
// Payload bytes handed to the recode function at once.
constexpr std::uint64_t kRunBytes = std::uint64_t{4} << 20;

// The section's bytes from the first one not yet consumed up to the read
// position, read a chunk at a time.
class AheadReader {
 public:
  AheadReader(PendingFile& file, std::uint64_t begin, std::uint64_t end)
      : file_(file), base_(begin), read_(begin), end_(end) {}

  // Holds every byte before `offset` (the section's end at most) in memory.
  Status ReadTo(std::uint64_t offset) {
    offset = std::min(offset, end_);
    while (read_ < offset) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunkSize, end_ - read_));
      const std::size_t old = held_.size();
      held_.resize(old + n);
      if (Status s = file_.ReadAt(read_, held_.data() + old, n); !s.ok()) return s;
      read_ += n;
    }
    return {};
  }

  // The record at `offset`, which lies at or after what was consumed.
  Result<format::Record> RecordAt(std::uint64_t offset) {
    if (offset > end_ || end_ - offset < format::kRecordHeaderSize) return Damaged(offset);
    if (Status s = ReadTo(offset + format::kRecordHeaderSize); !s.ok()) return s;
    const std::uint64_t length = LoadBE32(held() + (offset - base_));
    if (length > end_ - offset - format::kRecordHeaderSize) return Damaged(offset);
    if (Status s = ReadTo(offset + format::kRecordHeaderSize + length); !s.ok()) return s;
    format::Record r = format::DecodeRecord(held(), read_ - base_, offset - base_);
    if (r.bounds != format::RecordBounds::kInside || crc32::Value(r.payload, r.length) != r.crc32) {
      return Damaged(offset);
    }
    return r;
  }

  // The `length` bytes at `offset`, read before.
  std::string_view View(std::uint64_t offset, std::uint32_t length) const {
    return std::string_view(held_).substr(static_cast<std::size_t>(offset - base_), length);
  }

  // Lets go of the bytes before `offset`, once enough of them have gathered
  // to be worth moving the rest down for.
  void Consume(std::uint64_t offset) {
    if (offset - base_ < kChunkSize) return;
    held_.erase(0, static_cast<std::size_t>(offset - base_));
    base_ = offset;
  }

 private:
  const unsigned char* held() const { return reinterpret_cast<const unsigned char*>(held_.data()); }
  Status Damaged(std::uint64_t offset) const {
    return Status::Corrupt("the record at offset " + std::to_string(offset) +
                           " of the temporary file does not match what was written there");
  }

  PendingFile& file_;
  std::string held_;     // the bytes [base_, read_)
  std::uint64_t base_;   // first byte not consumed
  std::uint64_t read_;   // first byte not read
  std::uint64_t end_;    // the section's end
};

// Collects the new records and writes them out a chunk at a time, never
// over bytes the reader has not read yet.
class BehindWriter {
 public:
  BehindWriter(PendingFile& file, AheadReader& reader, std::uint64_t begin, std::uint64_t file_end,
               const CancelCheck& cancel)
      : file_(file), reader_(reader), at_(begin), file_end_(file_end), cancel_(cancel) {}

  void Add(const void* data, std::size_t size) {
    pending_.append(static_cast<const char*>(data), size);
    crc_ = crc32::Extend(crc_, data, size);
  }
  Status FlushIfFull() { return pending_.size() >= kChunkSize ? Flush() : Status(); }

  Status Flush() {
    if (cancel_ && cancel_()) return Status::Cancelled();
    const std::uint64_t end = at_ + pending_.size();
    if (Status s = reader_.ReadTo(end); !s.ok()) return s;
    // Past the file's end (the section grew) the bytes are appended.
    const std::uint64_t room = file_end_ - std::min(at_, file_end_);
    const auto inside = static_cast<std::size_t>(std::min<std::uint64_t>(pending_.size(), room));
    Status s = file_.WriteAt(at_, pending_.data(), inside);
    if (s.ok() && inside < pending_.size()) s = file_.Append(pending_.data() + inside, pending_.size() - inside);
    if (!s.ok()) return s;
    file_end_ = std::max(file_end_, end);
    at_ = end;
    pending_.clear();
    return {};
  }

  std::uint64_t position() const { return at_ + pending_.size(); }
  std::uint32_t crc() const { return crc_; }
  std::uint64_t file_end() const { return file_end_; }

 private:
  PendingFile& file_;
  AheadReader& reader_;
  std::string pending_;
  std::uint64_t at_;
  std::uint64_t file_end_;
  std::uint32_t crc_ = 0;
  const CancelCheck& cancel_;
};

}  // namespace

Result<RecodedRecords> RecodeRecords(PendingFile& file, std::span<const std::uint64_t> record_offsets,
                                     std::uint64_t section_size, const KeptRecords* kept, const Recode& recode,
                                     const CancelCheck& cancel) {
  const std::uint64_t begin = format::kDataOffset;
  AheadReader reader(file, begin, begin + section_size);
  BehindWriter writer(file, reader, begin, begin + section_size, cancel);
  RecodedRecords out;
  out.offsets.assign(record_offsets.size(), 0);
  // A run of records read and checked: their ids, and where their payloads
  // lie in the file (views into the reader's memory would move as it reads).
  std::vector<std::size_t> ids;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> spans;
  std::uint64_t run_bytes = 0;
  std::vector<std::string_view> payloads;
  PayloadBatch recoded;
  auto write_run = [&]() -> Status {
    if (ids.empty()) return {};
    payloads.clear();
    for (const auto& [at, length] : spans) payloads.push_back(reader.View(at, length));
    recoded.Clear();
    if (Status s = recode(payloads, recoded); !s.ok()) return s;
    if (recoded.size() != ids.size()) return Status::Internal("recoding changed the number of records");
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const std::string_view p = recoded[i];
      if (p.size() > format::kMaxPayloadLength) {
        return Status::Other("object " + std::to_string(ids[i]) + " recodes to " + std::to_string(p.size()) +
                             " bytes, more than a record holds");
      }
      out.offsets[ids[i]] = writer.position() - begin;
      unsigned char header[format::kRecordHeaderSize];
      format::EncodeRecordHeader(header, static_cast<std::uint32_t>(p.size()), crc32::Value(p.data(), p.size()));
      writer.Add(header, sizeof header);
      writer.Add(p.data(), p.size());
    }
    out.count += ids.size();
    reader.Consume(spans.back().first + spans.back().second);
    ids.clear();
    spans.clear();
    run_bytes = 0;
    return writer.FlushIfFull();
  };
  // Records lie in id order, so the pieces kept are met in order too.
  std::size_t piece = 0;
  for (std::size_t id = 0; id < record_offsets.size(); ++id) {
    const std::uint64_t offset = record_offsets[id];
    if (kept != nullptr) {
      while (piece < kept->pieces.size() && kept->pieces[piece].second <= offset) ++piece;
      if (piece == kept->pieces.size() || offset < kept->pieces[piece].first) continue;
    }
    Result<format::Record> record = reader.RecordAt(begin + offset);
    if (!record.ok()) return std::move(record).status();
    ids.push_back(id);
    spans.emplace_back(begin + offset + format::kRecordHeaderSize, record.value().length);
    run_bytes += record.value().length;
    if (run_bytes >= kRunBytes) {
      if (Status s = write_run(); !s.ok()) return s;
    }
  }
  if (Status s = write_run(); !s.ok()) return s;
  if (Status s = writer.Flush(); !s.ok()) return s;
  if (writer.position() < writer.file_end()) {
    if (Status s = file.Truncate(writer.position()); !s.ok()) return s;
  }
  out.size = writer.position() - begin;
  out.crc = writer.crc();
  return out;
}

}  // namespace vorl
