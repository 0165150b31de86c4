// _VorlReader: one open core Reader per instance.  Every method takes a
// shared borrow: the Reader never changes after the constructor, so any
// number of calls may run on one instance at once.  Results are new objects
// holding copies of the stored bytes; nothing returned points into the
// mapping.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/reader.h"
#include "python/class_tables.h"
#include "python/classes.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/frame.h"
#include "python/pyref.h"

namespace vorl::py {
namespace {

using ReaderPtr = std::unique_ptr<const Reader>;

constexpr const char kClassName[] = "_VorlReader";

constexpr const char kClassDoc[] =
    "_VorlReader(path, verify=True)\n--\n\n"
    "Low-level reader \u2014 returns raw msgpack bytes.\n"
    "**Use `vorlstore.VorlReader` (Python wrapper) instead of this directly.**\n"
    "\n"
    "Thread-safe for reads: the index is immutable after construction and the\n"
    "mmap is read-only.  Share one instance freely across threads.";

constexpr const char kGetRawDoc[] =
    "get_raw($self, key)\n--\n\nO(1) exact-match lookup. Returns raw msgpack bytes or `None`.";
constexpr const char kExistsDoc[] =
    "exists($self, key)\n--\n\nKey presence check \u2014 no I/O beyond the in-memory hash index.";
constexpr const char kPrefixRawDoc[] =
    "prefix_raw($self, prefix)\n--\n\nSorted prefix scan. Returns `list[tuple[str, bytes]]`.";
constexpr const char kKeysDoc[] = "keys($self)\n--\n\nAll keys in sorted order.";
constexpr const char kItemsRawDoc[] =
    "items_raw($self)\n--\n\nAll `(key, raw_bytes)` pairs in sorted key order.";
constexpr const char kObjectsRawDoc[] =
    "objects_raw($self)\n--\n\nUnique objects only (deduplicated by file offset).";
constexpr const char kStatsDoc[] = "stats($self)\n--\n\nReturn file metadata as a `dict`.";
constexpr const char kVerifyDoc[] =
    "verify($self)\n--\n\nDeep CRC32 integrity check (whole-file + per-object).";
constexpr const char kCloseDoc[] = "close($self)\n--\n\n";
constexpr const char kEnterDoc[] = "__enter__($self)\n--\n\n";
constexpr const char kExitDoc[] = "__exit__($self, _exc_type, _exc_val, _exc_tb)\n--\n\n";

constexpr const char* kNewParams[] = {"path", "verify"};
constexpr const char* kKeyParams[] = {"key"};
constexpr const char* kPrefixParams[] = {"prefix"};
constexpr const char* kExitParams[] = {"_exc_type", "_exc_val", "_exc_tb"};

constexpr ArgumentSpec kNewArgs{kClassName, "__new__", kNewParams, 1};

// Every method shares the instance: the Reader never changes.
constexpr MethodSpec Method(const char* method, std::span<const char* const> params = {}) {
  return AllRequired(kReaderClass, kClassName, method, BorrowKind::kShared, params);
}
constexpr MethodSpec kGetRaw = Method("get_raw", kKeyParams);
constexpr MethodSpec kExists = Method("exists", kKeyParams);
constexpr MethodSpec kPrefixRaw = Method("prefix_raw", kPrefixParams);
constexpr MethodSpec kKeys = Method("keys");
constexpr MethodSpec kItemsRaw = Method("items_raw");
constexpr MethodSpec kObjectsRaw = Method("objects_raw");
constexpr MethodSpec kStats = Method("stats");
constexpr MethodSpec kVerify = Method("verify");
constexpr MethodSpec kClose = Method("close");
constexpr MethodSpec kEnter = Method("__enter__");
constexpr MethodSpec kExit = Method("__exit__", kExitParams);
constexpr MethodSpec kRepr = Method("__repr__");

// ---- Result objects (new references; a failure to create one is a fault)

PyObject* BytesObject(std::string_view bytes) {
  return NewResult(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// A stored key as str.  The interpreter's decoder with the "replace" handler
// substitutes one U+FFFD per maximal invalid subpart, without building an
// intermediate text.  (A copy of ASCII keys
// straight into PyUnicode_New's string measured slower than the decoder's
// own ASCII path.)
PyObject* KeyObject(std::string_view key) {
  return NewResult(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
}

PyObject* UnsignedObject(std::uint64_t value) { return NewResult(PyLong_FromUnsignedLongLong(value)); }

// (key text, payload bytes) for one entry.
PyObject* PairObject(std::string_view key_bytes, std::string_view payload) {
  PyRef key = PyRef::Steal(KeyObject(key_bytes));
  PyRef bytes = PyRef::Steal(BytesObject(payload));
  return NewResult(PyTuple_Pack(2, key.get(), bytes.get()));
}

// A list of the pairs of entries [begin, end), built at its final size.
PyObject* PairList(const Reader& reader, std::size_t begin, std::size_t end) {
  PyRef list = PyRef::Steal(NewResult(PyList_New(static_cast<Py_ssize_t>(end - begin))));
  Status s =
      reader.VisitEntries(begin, end, [&](std::size_t i, std::string_view key, std::string_view payload) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - begin), PairObject(key, payload));
      });
  if (!s.ok()) return RaiseStoreError(s);
  return list.release();
}

// ---- Operations

PyObject* New(PyTypeObject* type, const Arguments& args) {
  std::string_view path;
  if (!ConvertArgument(ConvertText, args[0], "path", &path)) return nullptr;
  bool verify = true;
  if (args[1] != nullptr && !ConvertArgument(ConvertBool, args[1], "verify", &verify)) return nullptr;
  // The whole index is read and checked at open, whatever the file holds
  // after it.
  Result<ReaderPtr> reader = Reader::Open(path, verify, IndexUse::kInMemory);
  if (!reader.ok()) return RaiseStoreError(reader.status());
  return NewInstance<ReaderPtr>(type, std::move(reader).value());
}

PyObject* GetRaw(PyObject* /*self*/, ReaderPtr& reader, const Arguments& args) {
  KeyBytes key;
  if (!ConvertKey(args[0], &key)) return nullptr;
  Result<std::optional<std::string_view>> payload = reader->FindObject(key.view());
  if (!payload.ok()) return RaiseStoreError(payload.status());
  if (!payload.value()) Py_RETURN_NONE;
  PyRef bytes = PyRef::Steal(BytesObject(*payload.value()));
  if (Status s = reader->CheckUnchanged(); !s.ok()) return RaiseStoreError(s);
  return bytes.release();
}

PyObject* Exists(PyObject* /*self*/, ReaderPtr& reader, const Arguments& args) {
  KeyBytes key;
  if (!ConvertKey(args[0], &key)) return nullptr;
  Result<std::optional<std::uint64_t>> found = reader->Find(key.view());
  if (!found.ok()) return RaiseStoreError(found.status());
  return PyBool_FromLong(found.value().has_value());
}

PyObject* PrefixRaw(PyObject* /*self*/, ReaderPtr& reader, const Arguments& args) {
  KeyBytes prefix;
  if (!ConvertKey(args[0], &prefix)) return nullptr;
  Result<std::pair<std::size_t, std::size_t>> range = reader->PrefixRange(prefix.view());
  if (!range.ok()) return RaiseStoreError(range.status());
  return PairList(*reader, range.value().first, range.value().second);
}

PyObject* Keys(PyObject* /*self*/, ReaderPtr& reader) {
  const std::size_t n = reader->num_entries();
  PyRef list = PyRef::Steal(NewResult(PyList_New(static_cast<Py_ssize_t>(n))));
  Status s = reader->VisitKeys(0, n, [&](std::size_t i, std::string_view key) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), KeyObject(key));
  });
  if (!s.ok()) return RaiseStoreError(s);
  return list.release();
}

PyObject* ItemsRaw(PyObject* /*self*/, ReaderPtr& reader) {
  return PairList(*reader, 0, reader->num_entries());
}

// The number of distinct objects is known only after the walk, so the walk
// collects views first; the list is then created at its final size, and a
// failed read creates no Python object at all.
PyObject* ObjectsRaw(PyObject* /*self*/, ReaderPtr& reader) {
  std::vector<std::string_view> payloads;
  Status s = reader->VisitUniqueObjects([&](std::string_view payload) { payloads.push_back(payload); });
  if (!s.ok()) return RaiseStoreError(s);
  PyRef list = PyRef::Steal(NewResult(PyList_New(static_cast<Py_ssize_t>(payloads.size()))));
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), BytesObject(payloads[i]));
  }
  if (Status unchanged = reader->CheckUnchanged(); !unchanged.ok()) return RaiseStoreError(unchanged);
  return list.release();
}

void SetItem(PyObject* dict, const char* name, PyObject* value) {
  PyRef owned = PyRef::Steal(value);
  if (PyDict_SetItemString(dict, name, owned.get()) != 0) NewResult(nullptr);
}

PyObject* Stats(PyObject* /*self*/, ReaderPtr& reader) {
  const ReaderStats stats = reader->Stats();
  PyRef dict = PyRef::Steal(NewResult(PyDict_New()));
  SetItem(dict.get(), "path", TextResult(stats.path));
  SetItem(dict.get(), "version", NewResult(PyLong_FromLong(stats.version)));
  SetItem(dict.get(), "num_keys", UnsignedObject(stats.num_keys));
  SetItem(dict.get(), "num_objects", UnsignedObject(stats.num_objects));
  SetItem(dict.get(), "index_offset", UnsignedObject(stats.index_offset));
  SetItem(dict.get(), "data_offset", UnsignedObject(stats.data_offset));
  // Multiplying by the exact power-of-two reciprocal equals dividing by 1024.
  SetItem(dict.get(), "file_size_kb",
          NewResult(PyFloat_FromDouble(static_cast<double>(stats.file_size) * (1.0 / 1024))));
  char crc_text[16];
  std::snprintf(crc_text, sizeof crc_text, "0x%08x", static_cast<unsigned>(stats.file_crc32));
  SetItem(dict.get(), "file_crc32", TextResult(crc_text));
  return dict.release();
}

PyObject* Verify(PyObject* /*self*/, ReaderPtr& reader) {
  if (Status s = reader->Verify(); !s.ok()) return RaiseStoreError(s);
  Py_RETURN_TRUE;
}

// close() and __exit__ release nothing: the mapping lives as long as the
// instance, so a closed reader keeps answering.
PyObject* Close(PyObject* /*self*/, ReaderPtr& /*reader*/) { Py_RETURN_NONE; }

PyObject* Enter(PyObject* self, ReaderPtr& /*reader*/) { return Py_NewRef(self); }

PyObject* Exit(PyObject* /*self*/, ReaderPtr& /*reader*/, const Arguments& /*ignored*/) { Py_RETURN_FALSE; }

PyObject* Repr(PyObject* /*self*/, ReaderPtr& reader) {
  const std::string text = "_VorlReader('" + reader->path() +
                           "', keys=" + std::to_string(reader->num_keys()) +
                           ", objects=" + std::to_string(reader->num_objects()) + ")";
  return TextResult(text);
}

PyMethodDef kMethods[] = {
    MethodEntry<kGetRaw, GetRaw>(kGetRawDoc),
    MethodEntry<kExists, Exists>(kExistsDoc),
    MethodEntry<kPrefixRaw, PrefixRaw>(kPrefixRawDoc),
    MethodEntry<kKeys, Keys>(kKeysDoc),
    MethodEntry<kItemsRaw, ItemsRaw>(kItemsRawDoc),
    MethodEntry<kObjectsRaw, ObjectsRaw>(kObjectsRawDoc),
    MethodEntry<kStats, Stats>(kStatsDoc),
    MethodEntry<kVerify, Verify>(kVerifyDoc),
    MethodEntry<kClose, Close>(kCloseDoc),
    MethodEntry<kEnter, Enter>(kEnterDoc),
    MethodEntry<kExit, Exit>(kExitDoc),
    {nullptr, nullptr, 0, nullptr},
};

ClassTables<ReaderPtr> kTables("builtins._VorlReader", kClassDoc, kMethods, NewEntry<kNewArgs, New>,
                               ReprEntry<ReaderPtr, kRepr, Repr>);

}  // namespace

ClassDef kReaderClass{kClassName, kTables.spec(), {}};

}  // namespace vorl::py
