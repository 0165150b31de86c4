// What each unit of the engine adds to the _engine module: one function per
// unit, called once by module.cc, bases before the classes that name them.
#ifndef VORLSTORE_ENGINE_BINDINGS_H_
#define VORLSTORE_ENGINE_BINDINGS_H_

#include <nanobind/nanobind.h>

namespace vorl::engine {

namespace nb = nanobind;

// key_bytes(key): the bytes a key is stored, looked up, routed and ordered
// by, under the rule of keys.h, for the package's Python code.
void BindKeys(nb::module_& m);
// Decoder (decoder.h).
void BindDecoder(nb::module_& m);
// Reader and Cursor (store_reader.h).
void BindReader(nb::module_& m);
// Adder; the writer and the builder name it as their base.
void BindAdder(nb::module_& m);
// Writer (store_writer.h).
void BindWriter(nb::module_& m);
// Builder and add_hash_index().
void BindBuilder(nb::module_& m);
// ranged_layout, ranged_section, ranged_probe, ranged_slots, ranged_entry,
// ranged_record, ranged_crc and the RangedExpander class (ranged_format.cc).
void BindRangedFormat(nb::module_& m);
// ZstdStream, the .zst input of the command line (zstd_input.cc).
void BindZstdStream(nb::module_& m);

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_BINDINGS_H_
