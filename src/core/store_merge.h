// Merging stores: the keys of one store copied into a store being written,
// each object exactly as stored, unless a store merged after it holds the
// key or the merge deletes it.  A merge calls MergeStore once per store,
// oldest first, so the newest store wins a key; an object that several
// copied keys share stays one object, and one no copied key names is left
// behind.  Nothing is decoded here: the target decides what becomes of the
// stored bytes (kept as they are, or expanded for another dictionary).
//
// The readers are only read, so other threads may read them meanwhile; the
// target is the caller's to serialise.
#ifndef VORLSTORE_CORE_STORE_MERGE_H_
#define VORLSTORE_CORE_STORE_MERGE_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "core/reader.h"
#include "core/status.h"

namespace vorl {

// Where MergeStore puts what it copies.
class MergeTarget {
 public:
  virtual ~MergeTarget() = default;
  // Adds the object whose record payload is `stored`, byte for byte as the
  // source holds it; returns its id.
  virtual Result<std::uint32_t> AddStored(std::string_view stored) = 0;
  virtual Status AddKey(std::string_view key, std::uint32_t obj_id) = 0;
};

// Adds to `target` every key of `source` that lookups answer (a duplicate
// entry's last one) unless a reader of `later` holds it or `deleted` names
// it, with the object it refers to, copied once per source record.  With
// `check_records` each copied record's CRC is checked first.  The first
// failure of a read, a check or the target ends the merge and is returned;
// what was added until then stays added.
Status MergeStore(const Reader& source, std::span<const Reader* const> later,
                  std::span<const std::string_view> deleted, bool check_records, MergeTarget& target);

}  // namespace vorl

#endif  // VORLSTORE_CORE_STORE_MERGE_H_
