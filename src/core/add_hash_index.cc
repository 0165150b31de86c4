#include "core/add_hash_index.h"

#include <optional>
#include <string>
#include <utility>

#include "core/coding.h"
#include "core/dictionary_section.h"
#include "core/format.h"
#include "core/hash_section_builder.h"
#include "core/store_file.h"
#include "core/store_layout.h"

namespace vorl {
namespace {

// Copies the store's bytes up to its index end, appends the section and
// publishes; `written` gets the size and CRC of the new file.  `file` is the
// mapped store, already checked.
Status Rewrite(PendingFile& out, const StoreFile& file, const ScannedIndex& index, std::uint64_t index_end,
               const CancelCheck& cancel, BuildSummary& written) {
  // The header as it is, file_crc32 aside: bytes no reader looks at stay.
  if (Status s = out.Append(file.bytes().data, format::kHeaderSize); !s.ok()) return s;
  StoreAppender appender(out, format::kHeaderSize, 0);
  const auto body = static_cast<std::size_t>(index_end - format::kHeaderSize);
  if (Status s = appender.Append(file.bytes().data + format::kHeaderSize, body); !s.ok()) return s;
  if (Status s = AppendHashSectionTo(appender, index, file.header().index_offset, std::nullopt); !s.ok()) return s;
  // A compressed store keeps its dictionary, as the last section still.
  Result<std::optional<dictionary_section::Found>> dictionary =
      dictionary_section::Locate(file.bytes().data, file.size());
  if (!dictionary.ok()) return std::move(dictionary).status();
  if (dictionary.value()) {
    const std::string section = dictionary_section::Encode(dictionary.value()->dictionary, appender.position());
    if (Status s = appender.Append(section.data(), section.size()); !s.ok()) return s;
  }
  unsigned char crc[4];
  StoreBE32(crc, appender.crc());
  if (Status s = out.WriteAt(format::kFileCrcPos, crc, sizeof crc); !s.ok()) return s;
  written.bytes = appender.position();
  written.crc32 = appender.crc();
  // A page of the old file that vanished while it was copied read as zeros:
  // the copy must not be published.
  if (Status s = file.CheckUnchanged(); !s.ok()) return s;
  return out.Commit(cancel);
}

}  // namespace

Result<BuildSummary> AddHashIndex(std::string_view path, const CancelCheck& cancel) {
  // Opened and checked as Reader::Open does, so the errors are its own.
  Result<StoreFile> opened = StoreFile::Open(path);
  if (!opened.ok()) return std::move(opened).status();
  const StoreFile& file = opened.value();
  const format::Header& header = file.header();
  if (Status s = file.Overriding(file.CheckCrc(header.index_offset)); !s.ok()) return s;
  Result<ScannedIndex> scanned =
      ScannedIndex::Scan(file.bytes().data, file.size(), header.index_offset, header.num_keys);
  if (Status s = file.Overriding(scanned.status()); !s.ok()) return s;
  const ScannedIndex& index = scanned.value();
  // A store without keys may name any index offset; the section needs one
  // between the header and the end of the file.
  if (header.index_offset < format::kHeaderSize || header.index_offset > file.size()) {
    return Status::Corrupt("index offset " + std::to_string(header.index_offset) + " outside the file of " +
                           std::to_string(file.size()) + " bytes");
  }
  const std::uint64_t index_end = header.index_offset + index.index_length();

  Result<PendingFile> out = PendingFile::Create(path, cancel);
  if (!out.ok()) return std::move(out).status();
  BuildSummary summary{std::string(path), header.num_objects, header.num_keys};
  if (Status s = Rewrite(out.value(), file, index, index_end, cancel, summary); !s.ok()) {
    out.value().Discard();  // nothing after a successful rename to discard
    return s;
  }
  return PublishedSummary(std::move(summary), false);
}

}  // namespace vorl
