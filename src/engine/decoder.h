// Decoder: stored MessagePack bytes to Python objects, as the package's
// readers read them (msgpack's unpackb with raw=False, strict_map_key=False,
// timestamp=3).  msgpack's own call costs more than the lookup that finds the
// bytes, so the plain types are decoded here, straight from the mapping.
//
// What this file does not decode (extension types other than the timestamp,
// containers as map keys, anything malformed, nesting msgpack would refuse)
// goes to the fallback callable, fallback(key, bytes), which runs msgpack and
// raises the package's error for undecodable bytes; a reader with hooks sends
// every object there.  So results and errors are msgpack's by construction:
// the native path only ever answers where msgpack would give the same object.
//
// Bulk decodes pause the cyclic collector: a listing makes about three
// containers per item, and collections triggered while they are made promote
// them through the generations, rescanning them in each older collection.
// Made while paused, they are scanned once, by the next collection.  The
// pause never spans the caller's Python code (the fallback runs with the
// collector as the caller had it) and leaves a collector the caller disabled
// disabled.  All methods run with the GIL held.
#ifndef VORLSTORE_ENGINE_DECODER_H_
#define VORLSTORE_ENGINE_DECODER_H_

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace vorl::engine {

namespace nb = nanobind;

// Pauses the cyclic collector while it lives, if it was enabled.
class CollectorPause {
 public:
  CollectorPause() { Pause(); }
  ~CollectorPause() { Resume(); }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

  void Pause() {
    if (!paused_) paused_ = PyGC_Disable() != 0;
  }
  // Gives the collector back before Python code runs; Pause() takes it again.
  void Resume() {
    if (paused_) PyGC_Enable();
    paused_ = false;
  }

 private:
  bool paused_ = false;  // true only when this object disabled an enabled collector
};

class Decoder {
 public:
  // `native` false sends every object to `fallback` (a reader with hooks).
  Decoder(nb::object fallback, bool native) : fallback_(std::move(fallback)), native_(native) {}

  // The object the bytes object `raw` holds; `key` (None when unknown) names
  // it in errors.  `pause`, when given, is resumed while the fallback runs.
  nb::object Decode(nb::handle key, nb::handle raw, CollectorPause* pause = nullptr);
  // The fallback's object for `raw`, for bytes TryDecode left.
  nb::object Fallback(nb::handle key, nb::handle raw) const { return fallback_(key, raw); }

  // The objects of `raws` (each bytes, or None for `missing`), in order,
  // built with the collector paused; keys[i] (or None) names raws[i] in errors.
  nb::list DecodeMany(nb::handle raws, nb::handle keys, nb::handle missing);

  // The object `data` holds as a new reference, or null when it is left to
  // the fallback (no Python error is left set).  Runs no Python code.
  PyObject* TryDecode(std::string_view data);

  // For the cyclic collector: the fallback may hold the caller's hooks.
  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(fallback_.ptr());
    return 0;
  }
  // Leaves a fallback that raises TypeError when called.
  void Clear() { nb::object gone = std::exchange(fallback_, nb::none()); }

 private:
  struct Parser;
  // The str of a map key's UTF-8 bytes, from the cache when seen lately.
  // New reference, or null with an error set.
  PyObject* KeyStr(std::string_view utf8);

  nb::object fallback_;
  bool native_;
  // Map keys repeat across a store's objects; reusing their str skips the
  // decoding and the hashing.  Direct-mapped by a hash of the bytes.
  std::array<nb::object, 256> key_cache_;
};

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_DECODER_H_
