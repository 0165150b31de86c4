// The .zst input stream of the package's command line: StreamExpander
// bound as _engine.ZstdStream, so that every Python the package supports
// reads .zst files, not only those with a zstd module of their own.
#ifndef VORLSTORE_ENGINE_ZSTD_INPUT_H_
#define VORLSTORE_ENGINE_ZSTD_INPUT_H_

#include <nanobind/nanobind.h>

namespace vorl::engine {

namespace nb = nanobind;

void BindZstdStream(nb::module_& m);

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_ZSTD_INPUT_H_
