#include "core/store_file.h"

#include <fcntl.h>

#include <algorithm>

#include "core/crc32.h"

namespace vorl {

// Files up to kOnePassLimit are checksummed in one call.  Larger ones go in
// steps of kCrcStep, each step's pages dropped from the process once
// checked: a pass over a file of many gigabytes would otherwise keep every
// page of it resident.  Below the limit the pages are left alone, since the
// queries that follow an open want them mapped.
constexpr std::uint64_t kOnePassLimit = std::uint64_t{256} << 20;
constexpr std::uint64_t kCrcStep = std::uint64_t{64} << 20;

std::string Crc32Text(std::uint32_t crc) {
  std::string text = "0x00000000";
  for (std::size_t i = text.size(); i > 2; --i, crc >>= 4) text[i - 1] = "0123456789abcdef"[crc & 0xF];
  return text;
}

Result<Mapping> MapStoreFile(std::string_view path) {
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer, forever
  // and deaf to Ctrl-C.  It changes nothing for a regular file.
  OpenOutcome opened = OpenFile(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!opened.fd.valid()) return OpenError(Operation::kOpen, opened.error, path);
  Result<FileStat> st = StatFd(opened.fd.get());
  if (!st.ok()) return st.status().During(Operation::kMap, path);
  // A directory goes on to fail at the mapping, as it always has; FIFOs,
  // sockets and devices are refused here.
  if (!st.value().regular && !st.value().directory) {
    return Status::IO(Operation::kOpen, std::string(kNotRegularFileText), std::string(path));
  }
  // An empty file maps to nothing and fails the size check that follows.
  // The descriptor closes on return; the mapping stays valid without it.
  Result<Mapping> mapped = Mapping::Map(opened.fd.get(), st.value().size);
  if (!mapped.ok()) return mapped.status().During(Operation::kMap, path);
  return mapped;
}

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

Result<std::string_view> RecordView(MappedBytes file, std::uint64_t offset) {
  const format::Record record = format::DecodeRecord(file.data, file.size, offset);
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

Status CheckRecordAt(MappedBytes file, std::uint64_t offset) {
  const format::Record record = format::DecodeRecord(file.data, file.size, offset);
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

Result<StoreFile> StoreFile::Open(std::string_view path) {
  Result<Mapping> mapped = MapStoreFile(path);
  if (!mapped.ok()) return std::move(mapped).status();
  Mapping mapping = std::move(mapped).value();
  MappingGuard guard(mapping.data(), mapping.size());
  Result<format::Header> decoded = format::DecodeHeader(mapping.data(), mapping.size());
  if (!decoded.ok()) return std::move(decoded).status();
  return StoreFile(std::string(path), std::move(mapping), std::move(guard), decoded.value());
}

}  // namespace vorl
