// StoreFile: an opened store file, the layer every reader and rewriter
// stands on.  Open() maps the whole file read-only, guards the mapping
// against the file shrinking under it (mapping_guard.h) and decodes the
// header; the record reads and checks below all go through here, so their
// bounds checks and messages live in one place.
//
// A StoreFile owns its mapping and guard; views it hands out point into the
// mapping and live as long as it does.  It never changes after Open(), so
// any number of threads may read one at once.
#ifndef VORLSTORE_CORE_STORE_FILE_H_
#define VORLSTORE_CORE_STORE_FILE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "core/file.h"
#include "core/format.h"
#include "core/mapping_guard.h"
#include "core/status.h"

namespace vorl {

// A mapped store file, as lookups read its records.
struct MappedBytes {
  const unsigned char* data;
  std::uint64_t size;
};

// A checksum as messages show it: "0x" and eight lower-case hex digits.
std::string Crc32Text(std::uint32_t crc);

// Opens `path` read-only without blocking on special files, refuses
// anything but a regular file (a directory fails at the mapping) and maps it
// whole: the first three steps of opening a store, with their messages.
Result<Mapping> MapStoreFile(std::string_view path);

// The whole-file check: the bytes after the header against `stored`.  Pages
// before `keep_from` are dropped behind the pass on a large file.
// REQUIRES: the mapping holds a header.
Status CheckFileCrc(const Mapping& mapping, std::uint32_t stored, std::uint64_t keep_from);

// The bounds-checked read of the object record at `offset` in a mapped file:
// its payload as a view, or a corrupt error.  The record's CRC is not checked.
Result<std::string_view> RecordView(MappedBytes file, std::uint64_t offset);

// The deep check of one record: its bounds, then its payload's CRC-32.
Status CheckRecordAt(MappedBytes file, std::uint64_t offset);

class StoreFile {
 public:
  StoreFile(StoreFile&&) noexcept = default;
  StoreFile& operator=(StoreFile&&) noexcept = default;
  StoreFile(const StoreFile&) = delete;
  StoreFile& operator=(const StoreFile&) = delete;

  // Maps the file at `path` and decodes its header.  On failure nothing
  // stays mapped or open.
  static Result<StoreFile> Open(std::string_view path);

  const std::string& path() const { return path_; }
  const format::Header& header() const { return header_; }
  const Mapping& mapping() const { return mapping_; }
  MappedBytes bytes() const { return {mapping_.data(), mapping_.size()}; }
  std::uint64_t size() const { return mapping_.size(); }

  Result<std::string_view> Record(std::uint64_t offset) const { return RecordView(bytes(), offset); }
  Status CheckRecord(std::uint64_t offset) const { return CheckRecordAt(bytes(), offset); }
  // The whole-file CRC against the header's, pages before `keep_from`
  // dropped behind the pass on a large file.
  Status CheckCrc(std::uint64_t keep_from) const {
    return CheckFileCrc(mapping_, header_.file_crc32, keep_from);
  }

  // OK, or the corrupt error of a read that found the file changed under the
  // mapping.  A caller that copies from a view calls it once it has copied.
  Status CheckUnchanged() const { return guard_.Check(); }
  // `outcome` of work that read the mapping, unless the file changed under
  // it: zeros read in place of a vanished page explain that outcome.
  // The analyzer loses the detail's owner across the move; nothing leaks.
  Status Overriding(Status outcome) const {
    return guard_.Overriding(std::move(outcome));  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)
  }

 private:
  StoreFile(std::string path, Mapping mapping, MappingGuard guard, const format::Header& header)
      : path_(std::move(path)), mapping_(std::move(mapping)), guard_(std::move(guard)), header_(header) {}

  std::string path_;
  Mapping mapping_;
  MappingGuard guard_;  // declared after mapping_: unregisters before the unmap
  format::Header header_;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_STORE_FILE_H_
