// The store format for readers that hold a file only in pieces: a store read
// by byte ranges from object storage fetches a few pieces at known offsets
// and hands each to one of these functions, which decode it with the core's
// codecs (format.h, hash_section.h, dictionary_section.h) and the engine's
// record compression.  Python does the I/O; the format is
// read only here and in the core.  Every function is stateless, checks each
// bound of the bytes it is given, and names `name` (the store's URL) in the
// errors it raises.
#ifndef VORLSTORE_ENGINE_RANGED_FORMAT_H_
#define VORLSTORE_ENGINE_RANGED_FORMAT_H_

#include <nanobind/nanobind.h>

namespace vorl::engine {

namespace nb = nanobind;

// Adds ranged_layout, ranged_section, ranged_probe, ranged_slots,
// ranged_entry, ranged_record, ranged_crc and the RangedExpander class to
// the module.
void BindRangedFormat(nb::module_& m);

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_RANGED_FORMAT_H_
