// vorlstore._engine: the package's native surface over the store core.
// Unlike vorlstore._vorlstore it never prints, keeps keys lossless, walks
// listings lazily and raises the package's own exceptions.
#include <nanobind/nanobind.h>

#include "engine/decoder.h"
#include "engine/errors.h"
#include "engine/ranged_format.h"
#include "engine/store_builder.h"
#include "engine/store_reader.h"
#include "engine/store_writer.h"

NB_MODULE(_engine, m) {
  m.doc() = "The native engine of the vorlstore package.";
  vorl::engine::RegisterTranslator();
  vorl::engine::BindDecoder(m);
  vorl::engine::BindReader(m);
  vorl::engine::BindWriter(m);
  vorl::engine::BindBuilder(m);
  vorl::engine::BindRangedFormat(m);
}
