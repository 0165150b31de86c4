// Laying out the end of a store file: the index entries in key order, the
// optional hash index section after them, and the header patched in last.
// The in-memory Writer, the StreamBuilder and AddHashIndex all finish a file
// here, so the bytes after the object section have one author.
//
// The header goes out first as a placeholder and is rewritten once the
// whole-file CRC is known, which StoreAppender extends as bytes go out.
// Not thread-safe; each build owns its appender.
#ifndef VORLSTORE_CORE_STORE_LAYOUT_H_
#define VORLSTORE_CORE_STORE_LAYOUT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/file.h"
#include "core/format.h"
#include "core/hash_section_builder.h"
#include "core/key_map.h"
#include "core/status.h"

namespace vorl {

// Appends to a PendingFile, or to memory for a file that is written later
// in one go, while extending the CRC of everything after the header, and
// counts the file's length.
class StoreAppender {
 public:
  // For a file whose `position` bytes so far have the CRC `crc` (the header
  // excluded).
  StoreAppender(PendingFile& out, std::uint64_t position, std::uint32_t crc)
      : file_(&out), position_(position), crc_(crc) {}
  // The same, collecting the bytes in `memory` instead.
  StoreAppender(std::string& memory, std::uint64_t position, std::uint32_t crc)
      : memory_(&memory), position_(position), crc_(crc) {}

  Status Append(const void* data, std::size_t size);
  std::uint64_t position() const { return position_; }
  std::uint32_t crc() const { return crc_; }

 private:
  PendingFile* file_ = nullptr;
  std::string* memory_ = nullptr;
  std::uint64_t position_;
  std::uint32_t crc_;
};

// How the end of a store is laid out.
struct IndexOptions {
  // Append the on-disk hash index after the entries.
  bool hash_index = false;
  // The hash index's seed.  None derives it from the file's content
  // (ContentSeed), so that the same adds give the same bytes.
  std::optional<std::uint64_t> seed;
  // The compression dictionary the records were made with, appended in its
  // section (dictionary_section.h) after everything else; empty for none.
  std::string_view dictionary;
};

// The records a store keeps when those that no key reaches are left out.
struct KeptRecords {
  // Each object's new record offset from the start of the object section;
  // meaningless for an object left out.
  std::vector<std::uint64_t> offsets;
  // The [begin, end) pieces of the old object section that stay, in order;
  // records kept side by side form one piece.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
  std::uint64_t count = 0;  // records kept
  std::uint64_t size = 0;   // bytes kept
};

// What stays of an object section of `section_size` bytes whose records
// start at `record_offsets` once the records no entry of `keys` names are
// left out; nothing when every record is named.
std::optional<KeptRecords> PlanKeptRecords(const KeyMap& keys, std::span<const std::uint64_t> record_offsets,
                                           std::uint64_t section_size);

// Moves the kept pieces of the object section of `file` down into one run
// after the header and cuts the file there.  Returns the CRC-32 of the run.
// REQUIRES: the file ends with its object section.
Result<std::uint32_t> CompactRecords(PendingFile& file, const KeptRecords& kept);

// Appends the placeholder header of a new store; EncodeHeader's bytes for an
// empty header, rewritten by PatchHeader.
Status AppendPlaceholderHeader(PendingFile& out);

// Writes the final header over the placeholder.
Status PatchHeader(PendingFile& out, const format::Header& header);

// Appends the hash index section for `entries`, whose index runs from
// `index_offset` to out.position(), keyed by `seed` (none: ContentSeed of
// the bytes so far).  The section's memory (about 17 bytes per key) is held
// only while it is written.
Status AppendHashSectionTo(StoreAppender& out, const IndexEntries& entries, std::uint64_t index_offset,
                           std::optional<std::uint64_t> seed);

// Appends what follows the object records, which end at out.position():
// the entries of `keys` in key order, when asked the hash index section,
// and the dictionary section when there is a dictionary.  `record_offsets[i]` is object i's record offset from the start
// of the object section, which holds `num_objects` records.  Returns the
// header that describes the file.
Result<format::Header> AppendIndex(StoreAppender& out, const KeyMap& keys,
                                   std::span<const std::uint64_t> record_offsets, std::uint64_t num_objects,
                                   const IndexOptions& options);

// AppendIndex, then the header patched over the placeholder at the start of
// `file`.  Commit is left to the caller.
Status FinishStore(StoreAppender& out, PendingFile& file, const KeyMap& keys,
                   std::span<const std::uint64_t> record_offsets, std::uint64_t num_objects,
                   const IndexOptions& options);

}  // namespace vorl

#endif  // VORLSTORE_CORE_STORE_LAYOUT_H_
