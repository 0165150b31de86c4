// Merging stores: the entries of one open store added to a Writer, as the
// package's merge of several stores into one needs them.
#ifndef VORLSTORE_CORE_STORE_MERGE_H_
#define VORLSTORE_CORE_STORE_MERGE_H_

#include <span>

#include "core/reader.h"
#include "core/status.h"
#include "core/writer.h"

namespace vorl {

// Adds to `into` each key of `source` as its lookups answer it, unless a
// store in `later` holds that key too (a later store wins).  Keys that share
// an object in `source` share one in `into`.  The first failure (a damaged
// source, a limit of the writer) ends the merge and is returned; what was
// added before it stays added.
Status MergeInto(Writer& into, const Reader& source, std::span<const Reader* const> later);

}  // namespace vorl

#endif  // VORLSTORE_CORE_STORE_MERGE_H_
