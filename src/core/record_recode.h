// Rewriting a temporary store's object section in place, record by record,
// through a caller's function.  A streaming build that compresses trains
// its dictionary on a sample spread over every record, which exists only
// once the last one is in; its records go to the file as they come and are
// recoded here at the commit, in one pass.
//
// The pass reads ahead of what it writes.  Records usually shrink, so the
// write position trails the read position; a record that grows is held back
// until everything it would cover has been read into memory, so no byte is
// overwritten unread whatever the function returns.
#ifndef VORLSTORE_CORE_RECORD_RECODE_H_
#define VORLSTORE_CORE_RECORD_RECODE_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/file.h"
#include "core/status.h"
#include "core/store_layout.h"

namespace vorl {

// Payloads laid end to end, and where each ends.
struct PayloadBatch {
  std::string bytes;
  std::vector<std::size_t> ends;

  std::size_t size() const { return ends.size(); }
  std::string_view operator[](std::size_t i) const {
    const std::size_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(begin, ends[i] - begin);
  }
  void Add(std::string_view payload) {
    bytes.append(payload);
    ends.push_back(bytes.size());
  }
  void Clear() {
    bytes.clear();
    ends.clear();
  }
};

// The payloads to store for a run of records' `payloads`, one for each, in
// order, added to `out` (empty when called).  Runs of a few MiB go at once,
// so that the function may spread the work over threads.  A failure stops
// the pass.
using Recode = std::function<Status(std::span<const std::string_view> payloads, PayloadBatch& out)>;

struct RecodedRecords {
  // Each object's new record offset from the start of the object section;
  // meaningless for an object left out.
  std::vector<std::uint64_t> offsets;
  std::uint64_t count = 0;  // records written
  std::uint64_t size = 0;   // bytes of the new object section
  std::uint32_t crc = 0;    // its CRC-32
};

// Recodes the object section of `file`: `section_size` bytes after the
// header holding the records of objects 0, 1, ... at `record_offsets`
// (from the section's start, in order).  Every record, or with `kept` only
// those its pieces hold, is read, checked against its CRC (a mismatch is
// kCorrupt: the temporary file changed under the build), and written back
// from the section's start with the payload `recode` makes of it; the file
// is cut after the last.  `cancel`, when set, is asked between chunks.
// REQUIRES: the file ends with its object section.
Result<RecodedRecords> RecodeRecords(PendingFile& file, std::span<const std::uint64_t> record_offsets,
                                     std::uint64_t section_size, const KeptRecords* kept, const Recode& recode,
                                     const CancelCheck& cancel);

}  // namespace vorl

#endif  // VORLSTORE_CORE_RECORD_RECODE_H_
