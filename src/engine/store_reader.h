// StoreReader: an open store as the package's reader sees it, and Cursor, a
// lazy walk over a range of its index entries.  The core Reader does the
// work; this layer converts keys, owns the open/closed state and builds
// Python results.  All methods run with the GIL held, which is what makes
// close() safe against concurrent calls and cursors.
#ifndef VORLSTORE_ENGINE_STORE_READER_H_
#define VORLSTORE_ENGINE_STORE_READER_H_

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/reader.h"

namespace vorl::engine {

namespace nb = nanobind;

// True when entry i is an earlier entry for the same key as entry i + 1:
// lookups answer with the last one, so listings skip the others.  Index
// entries are in key order, which puts equal keys side by side.
bool IsShadowed(const Reader& reader, std::size_t i);

class StoreReader {
 public:
  StoreReader(const nb::bytes& path, bool verify);

  // The open reader; throws the closed-store failure after Close().
  const Reader& Get() const;
  void Close() { reader_.reset(); }
  bool closed() const { return reader_ == nullptr; }
  const std::string& path() const { return path_; }

  nb::object GetRaw(nb::handle key) const;
  bool Contains(nb::handle key) const;
  // The stored bytes (or None) for each key of a sequence, in order.
  nb::list GetManyRaw(nb::handle keys) const;
  std::size_t num_entries() const { return Get().num_entries(); }
  // Entries [first, second) whose keys lie in [start, stop); None is open.
  std::pair<std::size_t, std::size_t> Bounds(nb::handle start, nb::handle stop) const;
  std::pair<std::size_t, std::size_t> PrefixBounds(nb::handle prefix) const;
  nb::dict Stats() const;
  void Verify() const;
  nb::list ObjectsRaw() const;

 private:
  std::string path_;
  std::unique_ptr<const Reader> reader_;
};

// Walks entries [begin, end) of a reader, forward or backward, yielding
// keys, values (raw bytes, or passed through `decode`) or (key, value)
// pairs.  Entries are fetched in small batches through the core's walk, so
// memory stays bounded by one batch and the first item comes at once.
class Cursor {
 public:
  enum class Yield { kKeys, kValues, kItems };

  // `decode_failed(key, raw)` is called when `decode` raises: it raises the
  // error to report instead, or returns to let the original through.
  Cursor(StoreReader* reader, std::size_t begin, std::size_t end, bool reverse, Yield what, nb::object decode,
         nb::object decode_failed, bool bytes_keys);
  nb::object Next();

 private:
  static constexpr std::size_t kFirstBatch = 4;
  static constexpr std::size_t kMaxBatch = 256;

  void Refill(const Reader& reader);
  nb::object Decode(const nb::object& key, const nb::object& raw) const;

  StoreReader* reader_;  // kept alive by the cursor's Python object
  std::size_t lo_, hi_;  // entries not yet fetched
  bool reverse_;
  Yield what_;
  nb::object decode_;
  nb::object decode_failed_;
  bool bytes_keys_;
  std::size_t batch_ = kFirstBatch;
  std::size_t pos_ = 0;
  std::vector<nb::object> keys_;
  std::vector<nb::object> values_;
};

void BindReader(nb::module_& m);

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_STORE_READER_H_
