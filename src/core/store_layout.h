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
#include <span>
#include <string>
#include <string_view>

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

// Appends the placeholder header of a new store; EncodeHeader's bytes for an
// empty header, rewritten by PatchHeader.
Status AppendPlaceholderHeader(PendingFile& out);

// Writes the final header over the placeholder.
Status PatchHeader(PendingFile& out, const format::Header& header);

// Appends the hash index section for `entries`, whose index runs from
// `index_offset` to out.position().  The section's memory (about 17 bytes
// per key) is held only while it is written.
Status AppendHashSectionTo(StoreAppender& out, const IndexEntries& entries, std::uint64_t index_offset);

// Appends what follows the object records, which end at out.position():
// the entries of `keys` in key order, when asked the hash index section,
// and the dictionary section when `dictionary` is not empty.  `record_offsets[i]` is object i's record offset from the start
// of the object section.  Returns the header that describes the file.
Result<format::Header> AppendIndex(StoreAppender& out, const KeyMap& keys,
                                   std::span<const std::uint64_t> record_offsets, bool hash_index,
                                   std::string_view dictionary = {});

// AppendIndex, then the header patched over the placeholder at the start of
// `file`.  Commit is left to the caller.
Status FinishStore(StoreAppender& out, PendingFile& file, const KeyMap& keys,
                   std::span<const std::uint64_t> record_offsets, bool hash_index,
                   std::string_view dictionary = {});

}  // namespace vorl

#endif  // VORLSTORE_CORE_STORE_LAYOUT_H_
