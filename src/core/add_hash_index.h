// AddHashIndex: rewrites an existing store with the on-disk hash index
// section after its index (hash_section.h), for stores built without one.
//
// Every byte up to the end of the last index entry is kept, and so is the
// compression dictionary; whatever else followed the entries (a stale
// section, or other trailing bytes) is dropped and the
// header's file_crc32 is updated to cover the new section.  The store must
// pass the reader's checks first (header, whole-file CRC, index), and fails
// with the reader's errors when it does not.  The new file is published
// through PendingFile like any build; on failure the temporary file is
// removed and the store is as it was.
#ifndef VORLSTORE_CORE_ADD_HASH_INDEX_H_
#define VORLSTORE_CORE_ADD_HASH_INDEX_H_

#include <string_view>

#include "core/build_summary.h"
#include "core/file.h"
#include "core/status.h"

namespace vorl {

// Rewrites the store at `path` with a fresh section.  `cancel` is asked as
// by a build (while waiting for the lock, and before the rename).
Result<BuildSummary> AddHashIndex(std::string_view path, const CancelCheck& cancel = {});

}  // namespace vorl

#endif  // VORLSTORE_CORE_ADD_HASH_INDEX_H_
