#include "engine/decoder.h"

// CPython's datetime C API; its capsule pointer is static to this file.
#include <datetime.h>

#include <cstring>
#include <optional>

#include "core/coding.h"
#include "engine/bindings.h"
#include "engine/gc_slots.h"
#include "engine/sequence.h"

namespace vorl::engine {
namespace {

// msgpack refuses an object nested in more containers than this (empty ones
// count); the native path stops at the same depth and lets msgpack say so.
constexpr int kMaxDepth = 1024;
// Seconds from the epoch that a datetime can hold (years 1 to 9999).
constexpr std::int64_t kMinSeconds = -62135596800;
constexpr std::int64_t kMaxSeconds = 253402300799;
constexpr std::int64_t kSecondsPerDay = std::int64_t{24} * 3600;
constexpr std::uint32_t kMaxNanoseconds = 999999999;
constexpr std::size_t kMaxCachedKey = 32;
constexpr std::int8_t kTimestampType = -1;

// The parser recurses on the C stack, which a thread may have made small.
// Past CPython's margin the object is left to msgpack, whose parser keeps a
// stack of its own.
class StackGuard {
 public:
  StackGuard() : entered_(Py_EnterRecursiveCall(" while decoding MessagePack") == 0) {}
  ~StackGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  StackGuard(const StackGuard&) = delete;
  StackGuard& operator=(const StackGuard&) = delete;
  bool entered() const { return entered_; }

 private:
  bool entered_;
};

// The datetime C API, imported on first use; null with an error set when
// the import fails.
const PyDateTime_CAPI* DateTimeApi() {
  if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
  return PyDateTimeAPI;
}

bool IsMapKeyContainer(unsigned char b) {
  // fixmap, fixarray, array 16/32, map 16/32, and the extension types.
  return (b >= 0x80 && b <= 0x9f) || (b >= 0xdc && b <= 0xdf) || (b >= 0xc7 && b <= 0xc9) ||
         (b >= 0xd4 && b <= 0xd8);
}

}  // namespace

// One pass over one object's bytes.  Each method returns a new reference, or
// null for bytes the native path leaves to msgpack (a Python error may be set;
// TryDecode clears it).  No Python code runs while it parses.
struct Decoder::Parser {
  Decoder& decoder;
  const unsigned char* p;
  const unsigned char* end;

  std::size_t left() const { return static_cast<std::size_t>(end - p); }

  // The next n bytes, or null when fewer remain.
  const unsigned char* Take(std::size_t n) {
    if (n > left()) return nullptr;
    const unsigned char* at = p;
    p += n;
    return at;
  }

  // A big-endian length of 1, 2 or 4 bytes.
  bool Length(std::size_t width, std::size_t* n) {
    const unsigned char* at = Take(width);
    if (at == nullptr) return false;
    *n = width == 1 ? *at : width == 2 ? LoadBE16(at) : LoadBE32(at);
    return true;
  }

  PyObject* Str(std::size_t n) {
    const unsigned char* at = Take(n);
    if (at == nullptr) return nullptr;
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(at), static_cast<Py_ssize_t>(n), nullptr);
  }

  PyObject* Bin(std::size_t n) {
    const unsigned char* at = Take(n);
    if (at == nullptr) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(at), static_cast<Py_ssize_t>(n));
  }

  PyObject* Float(std::size_t width) {
    const unsigned char* at = Take(width);
    if (at == nullptr) return nullptr;
    const char* bytes = reinterpret_cast<const char*>(at);
    const double v = width == 4 ? PyFloat_Unpack4(bytes, 0) : PyFloat_Unpack8(bytes, 0);
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(v);
  }

  PyObject* Array(std::size_t n, int depth) {
    // Each element takes at least a byte, so a count beyond the bytes left
    // is damage, refused before it sizes an allocation.
    const StackGuard guard;
    if (!guard.entered() || depth >= kMaxDepth || n > left()) return nullptr;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* item = Value(depth + 1);
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  }

  PyObject* Map(std::size_t n, int depth) {
    const StackGuard guard;
    if (!guard.entered() || depth >= kMaxDepth || n > left() / 2) return nullptr;
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* key = MapKey(depth + 1);
      PyObject* value = key == nullptr ? nullptr : Value(depth + 1);
      const bool stored = value != nullptr && PyDict_SetItem(dict, key, value) == 0;
      Py_XDECREF(key);
      Py_XDECREF(value);
      if (!stored) {
        Py_DECREF(dict);
        return nullptr;
      }
    }
    return dict;
  }

  // Keys that are containers (unhashable: msgpack raises TypeError) or
  // extension values are left to msgpack.
  PyObject* MapKey(int depth) {
    if (p == end || IsMapKeyContainer(*p)) return nullptr;
    const unsigned char b = *p;
    std::size_t n = 0;
    if ((b & 0xe0) == 0xa0) {
      ++p;
      n = b & 0x1f;
    } else if (b >= 0xd9 && b <= 0xdb) {
      ++p;
      if (!Length(std::size_t{1} << (b - 0xd9), &n)) return nullptr;
    } else {
      return Value(depth);
    }
    if (n > kMaxCachedKey) return Str(n);
    const unsigned char* at = Take(n);
    if (at == nullptr) return nullptr;
    return decoder.KeyStr(std::string_view(reinterpret_cast<const char*>(at), n));
  }

  // An extension value of n data bytes, after its header.  Only the
  // timestamp is decoded here, as msgpack does: the epoch plus a timedelta.
  PyObject* Ext(std::size_t n) {
    const unsigned char* type = Take(1);
    const unsigned char* data = type == nullptr ? nullptr : Take(n);
    if (data == nullptr || static_cast<std::int8_t>(*type) != kTimestampType) return nullptr;
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    switch (n) {
      case 4:
        seconds = LoadBE32(data);
        break;
      case 8: {
        const std::uint64_t v = LoadBE64(data);
        nanoseconds = static_cast<std::uint32_t>(v >> 34);
        seconds = static_cast<std::int64_t>(v & 0x3ffffffffULL);
        break;
      }
      case 12:
        nanoseconds = LoadBE32(data);
        seconds = static_cast<std::int64_t>(LoadBE64(data + 4));
        break;
      default:
        return nullptr;
    }
    if (nanoseconds > kMaxNanoseconds || seconds < kMinSeconds || seconds > kMaxSeconds) return nullptr;
    const PyDateTime_CAPI* api = DateTimeApi();
    if (api == nullptr) return nullptr;
    PyObject* epoch =
        api->DateTime_FromDateAndTime(1970, 1, 1, 0, 0, 0, 0, api->TimeZone_UTC, api->DateTimeType);
    if (epoch == nullptr) return nullptr;
    PyObject* delta =
        PyDelta_FromDSU(static_cast<int>(seconds / kSecondsPerDay),
                        static_cast<int>(seconds % kSecondsPerDay), static_cast<int>(nanoseconds / 1000));
    PyObject* when = delta == nullptr ? nullptr : PyNumber_Add(epoch, delta);
    Py_DECREF(epoch);
    Py_XDECREF(delta);
    return when;
  }

  PyObject* Value(int depth) {
    const unsigned char* at = Take(1);
    if (at == nullptr) return nullptr;
    const unsigned char b = *at;
    if (b <= 0x7f) return PyLong_FromLong(b);
    if (b >= 0xe0) return PyLong_FromLong(static_cast<std::int8_t>(b));
    if ((b & 0xe0) == 0xa0) return Str(b & 0x1f);
    if ((b & 0xf0) == 0x90) return Array(b & 0x0f, depth);
    if ((b & 0xf0) == 0x80) return Map(b & 0x0f, depth);
    std::size_t n = 0;
    const unsigned char* v = nullptr;
    switch (b) {
      case 0xc0:
        return Py_NewRef(Py_None);
      case 0xc2:
        return Py_NewRef(Py_False);
      case 0xc3:
        return Py_NewRef(Py_True);
      case 0xc4:
      case 0xc5:
      case 0xc6:
        return Length(std::size_t{1} << (b - 0xc4), &n) ? Bin(n) : nullptr;
      case 0xc7:
      case 0xc8:
      case 0xc9:
        return Length(std::size_t{1} << (b - 0xc7), &n) ? Ext(n) : nullptr;
      case 0xca:
        return Float(4);
      case 0xcb:
        return Float(8);
      case 0xcc:
        return (v = Take(1)) ? PyLong_FromLong(*v) : nullptr;
      case 0xcd:
        return (v = Take(2)) ? PyLong_FromLong(LoadBE16(v)) : nullptr;
      case 0xce:
        return (v = Take(4)) ? PyLong_FromUnsignedLong(LoadBE32(v)) : nullptr;
      case 0xcf:
        return (v = Take(8)) ? PyLong_FromUnsignedLongLong(LoadBE64(v)) : nullptr;
      case 0xd0:
        return (v = Take(1)) ? PyLong_FromLong(static_cast<std::int8_t>(*v)) : nullptr;
      case 0xd1:
        return (v = Take(2)) ? PyLong_FromLong(static_cast<std::int16_t>(LoadBE16(v))) : nullptr;
      case 0xd2:
        return (v = Take(4)) ? PyLong_FromLong(static_cast<std::int32_t>(LoadBE32(v))) : nullptr;
      case 0xd3:
        return (v = Take(8)) ? PyLong_FromLongLong(static_cast<std::int64_t>(LoadBE64(v))) : nullptr;
      case 0xd4:
      case 0xd5:
      case 0xd6:
      case 0xd7:
      case 0xd8:
        return Ext(std::size_t{1} << (b - 0xd4));
      case 0xd9:
      case 0xda:
      case 0xdb:
        return Length(std::size_t{1} << (b - 0xd9), &n) ? Str(n) : nullptr;
      case 0xdc:
      case 0xdd:
        return Length(std::size_t{2} << (b - 0xdc), &n) ? Array(n, depth) : nullptr;
      case 0xde:
      case 0xdf:
        return Length(std::size_t{2} << (b - 0xde), &n) ? Map(n, depth) : nullptr;
      default:  // 0xc1, which starts no type
        return nullptr;
    }
  }
};

PyObject* Decoder::KeyStr(std::string_view utf8) {
  std::uint64_t h = utf8.size();
  for (const char c : utf8) h = h * 31 + static_cast<unsigned char>(c);
  nb::object& slot = key_cache_[(h ^ (h >> 8)) % key_cache_.size()];
  if (slot.is_valid()) {
    // Only ASCII keys are cached, whose UTF-8 form is the str's own data.
    const char* cached = static_cast<const char*>(PyUnicode_DATA(slot.ptr()));
    const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot.ptr()));
    if (size == utf8.size() && std::memcmp(cached, utf8.data(), size) == 0) {
      return Py_NewRef(slot.ptr());
    }
  }
  PyObject* key = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr);
  if (key != nullptr && PyUnicode_IS_ASCII(key)) {
    PyUnicode_InternInPlace(&key);  // as msgpack does with map keys
    slot = nb::borrow(key);
  }
  return key;
}

PyObject* Decoder::TryDecode(std::string_view data) {
  if (!native_) return nullptr;
  const auto* begin = reinterpret_cast<const unsigned char*>(data.data());
  Parser parser{*this, begin, begin + data.size()};
  PyObject* obj = parser.Value(0);
  if (obj != nullptr && parser.p != parser.end) {  // bytes after the object
    Py_DECREF(obj);
    obj = nullptr;
  }
  if (obj == nullptr) PyErr_Clear();
  return obj;
}

nb::object Decoder::Decode(nb::handle key, nb::handle raw, CollectorPause* pause) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(raw.ptr(), &data, &size) != 0) throw nb::python_error();
  if (PyObject* obj = TryDecode(std::string_view(data, static_cast<std::size_t>(size))))
    return nb::steal(obj);
  if (pause != nullptr) pause->Resume();
  nb::object obj = Fallback(key, raw);
  if (pause != nullptr) pause->Pause();
  return obj;
}

nb::list Decoder::DecodeMany(nb::handle raws, nb::handle keys, nb::handle missing) {
  const Items raw_items(raws, "raws must be iterable");
  const std::size_t n = raw_items.size();
  std::optional<Items> key_items;
  if (!keys.is_none()) {
    key_items.emplace(keys, "keys must be iterable");
    if (key_items->size() != n) throw nb::value_error("keys and raws differ in length");
  }
  nb::list out = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out.is_valid()) throw nb::python_error();
  CollectorPause pause;
  for (std::size_t i = 0; i < n; ++i) {
    const nb::handle raw = raw_items[i];
    nb::object obj;
    if (raw.is_none()) {
      obj = nb::borrow(missing);
    } else {
      // `out` stays out of reach of the fallback's Python code while it is
      // half filled; `raw` stays referenced by `raw_items`.
      obj = Decode(key_items ? (*key_items)[i] : nb::none(), raw, &pause);
    }
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), obj.release().ptr());
  }
  return out;
}

void BindDecoder(nb::module_& m) {
  nb::class_<Decoder>(m, "Decoder",
                      "MessagePack to objects as the package reads them; what it leaves goes to `fallback`.",
                      nb::type_slots(GcSlots<Decoder>()))
      .def(nb::init<nb::object, bool>(), nb::arg("fallback"), nb::arg("native") = true,
           nb::sig(
               "def __init__(self, fallback: collections.abc.Callable[[str | bytes | None, bytes], object], "
               "native: bool = True) -> None"))
      .def(
          "decode", [](Decoder& self, const nb::bytes& raw, nb::handle key) { return self.Decode(key, raw); },
          nb::arg("raw"), nb::arg("key").none() = nb::none(),
          nb::sig("def decode(self, raw: bytes, key: str | bytes | None = None) -> object"),
          "The object `raw` holds.")
      .def("decode_many", &Decoder::DecodeMany, nb::arg("raws"), nb::arg("keys").none(),
           nb::arg("missing").none(),
           nb::sig("def decode_many(self, raws: collections.abc.Sequence[bytes | None], "
                   "keys: collections.abc.Sequence[object] | None, missing: object) -> list[object]"),
           "The objects of `raws` in order, `missing` for each None.");
}

}  // namespace vorl::engine
