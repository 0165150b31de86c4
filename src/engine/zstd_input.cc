// The .zst input stream of the package's command line: StreamExpander
// bound as _engine.ZstdStream, so that every Python the package supports
// reads .zst files, not only those with a zstd module of their own.
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/bindings.h"
#include "engine/compression.h"
#include "engine/errors.h"

namespace vorl::engine {

void BindZstdStream(nb::module_& m) {
  nb::class_<StreamExpander>(m, "ZstdStream", "Decompresses a stream of zstd frames in bounded pieces.")
      .def(nb::init<>())
      .def(
          "decompress",
          [](StreamExpander& self, const nb::bytes& data, std::size_t max_length) {
            const std::string out =
                Unwrap(self.Next(std::string_view(data.c_str(), data.size()), max_length), "");
            return nb::bytes(out.data(), out.size());
          },
          nb::arg("data"), nb::arg("max_length"),
          "At most max_length bytes of output, after taking data as the next input.")
      .def_prop_ro("needs_input", &StreamExpander::needs_input,
                   "Whether more input is needed before more output.")
      .def_prop_ro("at_frame_end", &StreamExpander::at_frame_end,
                   "Whether the input so far ends where a frame ends.");
}

}  // namespace vorl::engine
