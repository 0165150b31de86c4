// _VorlWriter: one core Writer per instance.  Mutations take the exclusive
// borrow; build and repr share the instance.  The class only converts
// arguments and results; the Writer does the work.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/writer.h"
#include "python/class_tables.h"
#include "python/classes.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/frame.h"

namespace vorl::py {
namespace {

constexpr const char kClassName[] = "_VorlWriter";

constexpr const char kClassDoc[] =
    "_VorlWriter()\n--\n\n"
    "Low-level writer \u2014 accepts pre-serialised msgpack bytes per object.\n"
    "**Use `vorlstore.VorlWriter` (Python wrapper) instead of this directly.**";

constexpr const char kAddObjectRawDoc[] =
    "add_object_raw($self, raw_bytes)\n--\n\n"
    "Store pre-encoded *raw_bytes* (msgpack). Returns the object ID.";
constexpr const char kAddKeyDoc[] =
    "add_key($self, key, obj_id)\n--\n\n"
    "Map *key* (str or bytes) to *obj_id*.";
constexpr const char kBuildDoc[] =
    "build($self, path)\n--\n\n"
    "Atomically write the `.vrls` file: tmp \u2192 fsync \u2192 rename.";

constexpr const char* kAddObjectRawParams[] = {"raw_bytes"};
constexpr const char* kAddKeyParams[] = {"key", "obj_id"};
constexpr const char* kBuildParams[] = {"path"};

constexpr ArgumentSpec kNewArgs{kClassName, "__new__", {}, 0};
// Mutations take the instance for themselves; build and repr share it.
constexpr MethodSpec kAddObjectRaw =
    AllRequired(kWriterClass, kClassName, "add_object_raw", BorrowKind::kExclusive, kAddObjectRawParams);
constexpr MethodSpec kAddKey =
    AllRequired(kWriterClass, kClassName, "add_key", BorrowKind::kExclusive, kAddKeyParams);
constexpr MethodSpec kBuild =
    AllRequired(kWriterClass, kClassName, "build", BorrowKind::kShared, kBuildParams);
constexpr MethodSpec kRepr = AllRequired(kWriterClass, kClassName, "__repr__", BorrowKind::kShared);

PyObject* New(PyTypeObject* type, const Arguments& /*no parameters*/) { return NewInstance<Writer>(type); }

PyObject* AddObjectRaw(PyObject* /*self*/, Writer& writer, const Arguments& args) {
  std::string_view raw;
  if (!ConvertArgument(ConvertBytes, args[0], "raw_bytes", &raw)) return nullptr;
  Result<std::uint32_t> id = writer.AddObject(raw);
  if (!id.ok()) return RaiseStoreError(id.status());
  return NewResult(PyLong_FromUnsignedLongLong(id.value()));
}

PyObject* AddKey(PyObject* /*self*/, Writer& writer, const Arguments& args) {
  // obj_id is a frame conversion, the key is converted by the operation:
  // a bad obj_id is reported before a bad key.
  std::uint32_t obj_id = 0;
  if (!ConvertArgument(ConvertUInt32, args[1], "obj_id", &obj_id)) return nullptr;
  KeyBytes key;
  if (!ConvertKey(args[0], &key)) return nullptr;
  if (Status s = writer.AddKey(key.view(), obj_id); !s.ok()) return RaiseStoreError(s);
  Py_RETURN_NONE;
}

PyObject* Build(PyObject* /*self*/, Writer& writer, const Arguments& args) {
  std::string_view path;
  if (!ConvertArgument(ConvertText, args[0], "path", &path)) return nullptr;
  BuildOptions options;
  // A build may wait for another build of the same target; a pending signal
  // (Ctrl-C) ends it there, or at the latest before it publishes, and its
  // exception is what build raises.
  options.cancel = [] { return PyErr_CheckSignals() != 0; };
  Result<BuildSummary> built = writer.Build(path, options);
  if (!built.ok()) return RaiseStoreError(built.status());
  Py_RETURN_NONE;
}

PyObject* Repr(PyObject* /*self*/, Writer& writer) {
  const std::string text = "_VorlWriter(objects=" + std::to_string(writer.num_objects()) +
                           ", keys=" + std::to_string(writer.num_keys()) + ")";
  return TextResult(text);
}

PyMethodDef kMethods[] = {
    MethodEntry<kAddObjectRaw, AddObjectRaw>(kAddObjectRawDoc),
    MethodEntry<kAddKey, AddKey>(kAddKeyDoc),
    MethodEntry<kBuild, Build>(kBuildDoc),
    {nullptr, nullptr, 0, nullptr},
};

ClassTables<Writer> kTables("builtins._VorlWriter", kClassDoc, kMethods, NewEntry<kNewArgs, New>,
                            ReprEntry<Writer, kRepr, Repr>);

}  // namespace

ClassDef kWriterClass{kClassName, kTables.spec(), {}};

}  // namespace vorl::py
