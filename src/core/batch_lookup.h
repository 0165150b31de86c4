// Exact lookups of objects by key through either index a reader uses: the
// on-disk hash section (hash_section.h) or the in-memory KeyIndex
// (key_index.h).  One function answers a single key; its batched twin
// answers many keys exactly as one call per key would, but faster.
//
// A single lookup in a large store waits for two or three memory accesses
// in a row (slot, entry, record) and the processor idles meanwhile.  A
// batch hashes every key first and then walks the keys once, loading the
// slots of a key several steps before it is resolved and its entry and
// record a few steps before, so that the misses of different keys overlap.
// How far ahead, and everything else about the cache, stays in the .cc.
//
// Views returned point into the mapped file [file, file + size); a caller
// that copies from them checks the file's MappingGuard afterwards.  The
// functions only read; any number of threads may call them at once.
#ifndef VORLSTORE_CORE_BATCH_LOOKUP_H_
#define VORLSTORE_CORE_BATCH_LOOKUP_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/hash_section.h"
#include "core/key_index.h"
#include "core/status.h"
#include "core/store_file.h"

namespace vorl {

// The object of the last entry whose key is `key`, as a view into the file;
// no value for an absent key; or the corrupt error of the lookup or of the
// record's bounds check.
Result<std::optional<std::string_view>> FindObject(const KeyIndex& index, MappedBytes file,
                                                   std::string_view key);
Result<std::optional<std::string_view>> FindObject(const HashSection& section, MappedBytes file,
                                                   std::string_view key);

// out[i] = FindObject(..., keys[i]) for each i, in order; the first key
// whose lookup fails ends the batch with that error (the slots of the keys
// before it are filled, the rest unspecified).  REQUIRES: out.size() ==
// keys.size().
Status FindObjects(const KeyIndex& index, MappedBytes file, std::span<const std::string_view> keys,
                   std::span<std::optional<std::string_view>> out);
Status FindObjects(const HashSection& section, MappedBytes file, std::span<const std::string_view> keys,
                   std::span<std::optional<std::string_view>> out);

}  // namespace vorl

#endif  // VORLSTORE_CORE_BATCH_LOOKUP_H_
