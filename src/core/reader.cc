#include "core/reader.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/batch_lookup.h"
#include "core/crc32.h"
#include "core/format.h"

namespace vorl {

// Files up to kOnePassLimit are checksummed in one call.  Larger ones go in
// steps of kCrcStep, each step's pages dropped from the process once
// checked: a pass over a file of many gigabytes would otherwise keep every
// page of it resident.  Below the limit the pages are left alone, since the
// queries that follow an open want them mapped.
constexpr std::uint64_t kOnePassLimit = std::uint64_t{256} << 20;
constexpr std::uint64_t kCrcStep = std::uint64_t{64} << 20;

// The whole-file check shared by Open and Verify: everything after the
// header against the header's file_crc32.  Pages from `keep_from` on stay
// mapped, for the index parse that follows at open.
Status CheckFileCrc(const Mapping& mapping, std::uint32_t stored, std::uint64_t keep_from) {
  const unsigned char* data = mapping.data();
  const std::uint64_t size = mapping.size();
  std::uint32_t computed = 0;
  if (size <= kOnePassLimit) {
    computed = crc32::Value(data + format::kHeaderSize, static_cast<std::size_t>(size - format::kHeaderSize));
  } else {
    mapping.AdviseSequential();
    for (std::uint64_t pos = format::kHeaderSize; pos < size;) {
      const std::uint64_t n = std::min(kCrcStep, size - pos);
      computed = crc32::Extend(computed, data + pos, static_cast<std::size_t>(n));
      if (pos < keep_from) mapping.DropPages(pos, std::min(n, keep_from - pos));
      pos += n;
    }
    mapping.AdviseNormal();
  }
  if (computed == stored) return {};
  return Status::Corrupt("file CRC32 mismatch  stored=" + Crc32Text(stored) +
                         "  computed=" + Crc32Text(computed));
}

Result<std::string_view> RecordView(const unsigned char* data, std::uint64_t size, std::uint64_t offset) {
  const format::Record record = format::DecodeRecord(data, size, offset);
  switch (record.bounds) {
    case format::RecordBounds::kInside:
      return std::string_view(reinterpret_cast<const char*>(record.payload), record.length);
    case format::RecordBounds::kHeaderPastEnd:
      return Status::Corrupt("offset " + std::to_string(offset) + " out of bounds");
    case format::RecordBounds::kPayloadPastEnd:
      break;
  }
  return Status::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
}

namespace {

// Parses `num_keys` index entries starting at `index_offset` into `index`.
// Each bound is checked as "need > size - position" after "position <= size"
// so that no sum can wrap, whatever the header claims.
Status ParseIndex(const unsigned char* data, std::uint64_t size, std::uint32_t num_keys,
                  std::uint64_t index_offset, KeyIndex& index) {
  const std::size_t max_entries = KeyIndex::MaxEntries(num_keys, index_offset, size);
  // For a well-formed file this is exactly the key bytes of the index, what
  // the arena needs if no key is short enough to be stored inline.
  const std::uint64_t room = index_offset < size ? size - index_offset : 0;
  const std::uint64_t key_bytes = std::min<std::uint64_t>(room - format::kEntryOverhead * max_entries,
                                                          format::kMaxKeyLength * max_entries);
  index.Reserve(max_entries, static_cast<std::size_t>(key_bytes));

  // Entries go into the table kLead steps after they are read, so that the
  // table position of each is fetched (PrefetchHome) while the ones before
  // it are added; the additions stay in file order.
  constexpr std::uint32_t kLead = 8;
  struct Pending {
    std::string_view key;
    std::uint64_t offset;
    std::uint64_t hash;
  };
  std::array<Pending, kLead> pending;
  format::Entry entry;
  entry.next = index_offset;
  for (std::uint32_t n = 0; n < num_keys; ++n) {
    if (Status s = format::DecodeEntry(data, size, entry.next, &entry); !s.ok()) return s;
    Pending& slot = pending[n % kLead];
    if (n >= kLead) index.Add(slot.key, slot.offset, slot.hash);
    slot.key = entry.key;
    slot.offset = entry.offset;
    slot.hash = index.Hash(slot.key);
    index.PrefetchHome(slot.hash);
  }
  for (std::uint32_t n = num_keys < kLead ? 0 : num_keys - kLead; n < num_keys; ++n) {
    const Pending& slot = pending[n % kLead];
    index.Add(slot.key, slot.offset, slot.hash);
  }
  index.ShrinkToFit();
  return {};
}

}  // namespace

std::string Crc32Text(std::uint32_t crc) {
  std::string text = "0x00000000";
  for (std::size_t i = text.size(); i > 2; --i, crc >>= 4) text[i - 1] = "0123456789abcdef"[crc & 0xF];
  return text;
}

Reader::Reader(std::string path, Mapping mapping, MappingGuard guard, const format::Header& header,
               KeyIndex index)
    : path_(std::move(path)),
      mapping_(std::move(mapping)),
      guard_(std::move(guard)),
      num_keys_(header.num_keys),
      num_objects_(header.num_objects),
      index_offset_(header.index_offset),
      file_crc32_(header.file_crc32),
      index_(std::move(index)) {}

Reader::~Reader() = default;

Result<Mapping> MapStoreFile(std::string_view path) {
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer, forever
  // and deaf to Ctrl-C.  It changes nothing for a regular file.
  OpenOutcome opened = OpenFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!opened.fd.valid()) return OpenError(opened.error).Prefixed("cannot open " + std::string(path) + ": ");
  Result<FileStat> st = StatFd(opened.fd.get());
  if (!st.ok()) return st.status().Prefixed("mmap failed: ");
  // A directory goes on to fail at the mapping, as it always has; FIFOs,
  // sockets and devices are refused here.
  if (!st.value().regular && !st.value().directory) {
    return Status::IO("cannot open " + std::string(path) + ": " + std::string(kNotRegularFileText));
  }
  // An empty file maps to nothing and fails the size check that follows.
  // The descriptor closes on return; the mapping stays valid without it.
  Result<Mapping> mapped = Mapping::Map(opened.fd.get(), st.value().size);
  if (!mapped.ok()) return mapped.status().Prefixed("mmap failed: ");
  return mapped;
}

Result<std::unique_ptr<const Reader>> Reader::Open(std::string_view path, bool verify) {
  Result<Mapping> mapped = MapStoreFile(path);
  if (!mapped.ok()) return std::move(mapped).status();
  Mapping mapping = std::move(mapped).value();
  MappingGuard guard(mapping.data(), mapping.size());
  Result<format::Header> decoded = format::DecodeHeader(mapping.data(), mapping.size());
  if (!decoded.ok()) return std::move(decoded).status();
  const format::Header& header = decoded.value();
  // A fault while the file is read makes both passes see zeros; the guard's
  // error then takes precedence over whatever they concluded from them.
  if (verify) {
    Status s = CheckFileCrc(mapping, header.file_crc32, header.index_offset);
    if (Status g = guard.Check(); !g.ok()) return g;
    if (!s.ok()) return s;
  }
  KeyIndex index;
  Status parsed = ParseIndex(mapping.data(), mapping.size(), header.num_keys, header.index_offset, index);
  if (Status g = guard.Check(); !g.ok()) return g;
  if (!parsed.ok()) return parsed;

  return std::unique_ptr<const Reader>(
      new Reader(std::string(path), std::move(mapping), std::move(guard), header, std::move(index)));
}

Result<std::string_view> Reader::ObjectView(std::uint64_t offset) const {
  return RecordView(mapping_.data(), mapping_.size(), offset);
}

Result<std::optional<std::string_view>> Reader::FindObject(std::string_view key) const {
  return vorl::FindObject(index_, {mapping_.data(), mapping_.size()}, key);
}

Status Reader::FindObjects(std::span<const std::string_view> keys,
                           std::span<std::optional<std::string_view>> out) const {
  return vorl::FindObjects(index_, {mapping_.data(), mapping_.size()}, keys, out);
}

Result<std::string> Reader::ReadObject(std::uint64_t offset) const {
  Result<std::string_view> view = ObjectView(offset);
  if (!view.ok()) return std::move(view).status();
  std::string copy(view.value());
  if (Status s = guard_.Check(); !s.ok()) return s;
  return copy;
}

Status Reader::Verify() const { return guard_.Overriding(VerifyMapped()); }

Status Reader::VerifyMapped() const {
  if (Status s = CheckFileCrc(mapping_, file_crc32_, mapping_.size()); !s.ok()) return s;
  // Keys that share a record check it once.
  return VisitUniqueOffsets(
      [&](std::uint64_t offset) { return CheckRecordAt(mapping_.data(), mapping_.size(), offset); });
}

Status CheckRecordAt(const unsigned char* data, std::uint64_t size, std::uint64_t offset) {
  const format::Record record = format::DecodeRecord(data, size, offset);
  if (record.bounds == format::RecordBounds::kHeaderPastEnd) {
    return Status::Corrupt("object offset " + std::to_string(offset) + " out of bounds");
  }
  if (record.bounds == format::RecordBounds::kPayloadPastEnd) {
    return Status::Corrupt("object at " + std::to_string(offset) + " extends beyond file end");
  }
  if (crc32::Value(record.payload, record.length) != record.crc32) {
    return Status::Corrupt("object CRC32 mismatch at offset " + std::to_string(offset));
  }
  return {};
}

}  // namespace vorl
