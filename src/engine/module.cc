// vorlstore._engine: the package's native surface over the store core.
// Unlike vorlstore._vorlstore it never prints, keeps keys lossless, walks
// listings lazily and raises the package's own exceptions.
#include <nanobind/nanobind.h>

#include "engine/bindings.h"
#include "engine/errors.h"

namespace {

namespace nb = nanobind;

// Objects that gc.freeze() moved to the permanent generation (the pre-fork
// pattern of servers) are never destroyed at exit, Python's own included, so
// engine instances among them are still alive when nanobind looks for leaks
// and it would report them as a reference counting fault.  That report is
// false then, and users must not see it; without a freeze the check stays.
void QuietLeakCheckAfterFreeze() {
  nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
    if (nb::cast<Py_ssize_t>(nb::module_::import_("gc").attr("get_freeze_count")()) > 0) {
      nb::set_leak_warnings(false);
    }
  }));
}

}  // namespace

NB_MODULE(_engine, m) {
  m.doc() = "The native engine of the vorlstore package.";
  vorl::engine::RegisterTranslator();
  vorl::engine::BindKeys(m);
  vorl::engine::BindDecoder(m);
  vorl::engine::BindReader(m);
  vorl::engine::BindAdder(m);
  vorl::engine::BindWriter(m);
  vorl::engine::BindBuilder(m);
  vorl::engine::BindRangedFormat(m);
  vorl::engine::BindZstdStream(m);
  QuietLeakCheckAfterFreeze();
}
