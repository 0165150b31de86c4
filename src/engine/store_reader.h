// StoreReader: an open store as the package's reader sees it, and Cursor, a
// lazy walk over a range of its index entries.  The core Reader does the
// work (through the file's hash index when it has one, else the sorted
// index); this layer converts keys, owns the open/closed state and builds
// Python results.  All methods run with the GIL held, which is what makes
// close() safe against concurrent calls and cursors.
#ifndef VORLSTORE_ENGINE_STORE_READER_H_
#define VORLSTORE_ENGINE_STORE_READER_H_

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/reader.h"
#include "core/status.h"
#include "engine/compression.h"
#include "engine/decoder.h"
#include "engine/errors.h"
#include "engine/sequence.h"

namespace vorl::engine {

namespace nb = nanobind;

class StoreReader {
 public:
  // `verify` checks the whole-file CRC at open; `check_reads` checks each
  // record's own CRC whenever its bytes are read, so that a damaged record
  // fails instead of answering with wrong bytes.
  StoreReader(const nb::bytes& path, bool verify, bool check_reads);

  // The open reader; throws the closed-store failure after Close().
  const Reader& Get() const;
  void Close() { reader_.reset(); }
  bool closed() const { return reader_ == nullptr; }
  const std::string& path() const { return path_; }
  // Whether each record's CRC is checked as its bytes are read.
  bool check_reads() const { return check_reads_; }

  // Throws for a failed status or result, but first for a file that shrank
  // under the mapping since it was opened, which is what a truncated file's
  // confusing failures (or empty answers) come from.  Called after every read.
  void Settle(const Status& status) const;
  template <typename T>
  T Settle(Result<T> result) const {
    Settle(result.ok() ? Status() : result.status());
    return std::move(result).value();
  }

  // The MessagePack bytes of a stored payload: itself, or decompressed into
  // `scratch` in a compressed store.  REQUIRES: `stored` is Intact.
  Result<std::string_view> Expand(std::string_view stored, std::string& scratch) const {
    return expander_ ? expander_->Expand(stored, scratch) : Result<std::string_view>(stored);
  }
  // The MessagePack bytes of a stored payload as a new bytes object,
  // decompressed straight into it.
  nb::object ExpandedBytes(std::string_view stored) const;

  nb::object GetRaw(nb::handle key) const { return CopyOf(key, true); }
  // The bytes as stored (compressed or not), for copying between stores.
  nb::object GetStored(nb::handle key) const { return CopyOf(key, false); }
  // The compression dictionary, or None for a store without one.
  nb::object Dictionary() const;
  bool Contains(nb::handle key) const;
  // The object stored under `key`, decoded from the mapping without a copy
  // by the decoder (its bytes when there is none), or `missing`.
  nb::object GetObject(nb::handle key, nb::handle missing) const;
  // The decoder of GetObject: a Decoder, or None.
  void set_decoder(nb::handle decoder);
  nb::object decoder() const { return decoder_object_; }
  // The stored bytes (or None) for each key of a sequence, in order.
  nb::list GetManyRaw(nb::handle keys) const;
  // The object (or `missing`) for each key of a sequence, in order, decoded
  // as GetObject decodes.
  nb::list GetMany(nb::handle keys, nb::handle missing) const;
  std::size_t num_entries() const { return Get().num_entries(); }
  // Entries [first, second) whose keys lie in [start, stop); None is open.
  std::pair<std::size_t, std::size_t> Bounds(nb::handle start, nb::handle stop) const;
  std::pair<std::size_t, std::size_t> PrefixBounds(nb::handle prefix) const;
  nb::dict Stats() const;
  void Verify() const;
  nb::list ObjectsRaw() const;

  // `payload` (a record view) itself; when reads are checked and it does not
  // match its stored CRC, the corrupt failure naming `key` (a Python key) or,
  // when that is None, the record's `offset`.
  std::string_view Intact(std::string_view payload, nb::handle key, std::uint64_t offset = 0) const;

  // For the cyclic collector: the decoder calls the caller's hooks.
  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(decoder_object_.ptr());
    return 0;
  }
  void Clear() {
    decoder_ = nullptr;
    nb::object gone = std::exchange(decoder_object_, nb::none());
  }

 private:
  // The intact stored payload of each key, or no value for a missing key.
  std::vector<std::optional<std::string_view>> FindAll(const Items& keys) const;
  // A copy of the record under `key`, expanded or as stored, or None.
  nb::object CopyOf(nb::handle key, bool expand) const;
  // The compression figures of Stats for a compressed store.
  nb::dict CompressionStats() const;

  std::string path_;
  std::unique_ptr<const Reader> reader_;
  std::unique_ptr<RecordExpander> expander_;  // for a store with a dictionary
  // Where GetObject decompresses a record before decoding it.
  mutable std::string scratch_;
  bool check_reads_;
  nb::object decoder_object_ = nb::none();
  Decoder* decoder_ = nullptr;  // owned by decoder_object_
};

// Walks entries [begin, end) of a reader, forward or backward, yielding
// keys, values (raw bytes, or objects from `decoder`) or (key, value) pairs.
// Entries are fetched in small batches through the core's walk, so memory
// stays bounded by one batch and the first item comes at once.  A batch is
// decoded and its items built with the collector paused; objects the
// decoder leaves to its fallback are decoded as Next reaches them, after the
// walk, because the fallback runs Python code, which may close the reader.
class Cursor {
 public:
  enum class Yield { kKeys, kValues, kItems };

  // `reader` is a Reader; `decoder` is a Decoder or None (the stored bytes).
  // The cursor holds both.
  Cursor(nb::object reader, std::size_t begin, std::size_t end, bool reverse, Yield what, nb::object decoder,
         bool bytes_keys);
  nb::object Next();

  // For the cyclic collector: the reader and the decoder lead to hooks.
  int Traverse(visitproc visit, void* arg) const {
    Py_VISIT(reader_owner_.ptr());
    Py_VISIT(decoder_owner_.ptr());
    return 0;
  }
  // Ends the walk: Next raises StopIteration from then on.
  void Clear();

 private:
  static constexpr std::size_t kFirstBatch = 4;
  static constexpr std::size_t kMaxBatch = 256;

  void Refill(const Reader& reader);

  nb::object reader_owner_;
  StoreReader* reader_;  // owned by reader_owner_; null once cleared
  std::size_t lo_, hi_;  // entries not yet fetched
  bool reverse_;
  Yield what_;
  Decoder* decoder_;
  nb::object decoder_owner_;
  bool bytes_keys_;
  std::size_t batch_ = kFirstBatch;
  std::size_t pos_ = 0;
  struct Fetched {
    std::string_view key;  // into the mapping, until Python code runs
    std::uint64_t offset;
    std::string_view payload;
  };
  std::vector<Fetched> fetched_;
  std::vector<std::string> expanded_;  // decompressed payloads of the batch
  std::vector<nb::object> keys_;
  // The item to yield, or for an entry in `undecoded_` its stored bytes.
  std::vector<nb::object> items_;
  std::vector<bool> undecoded_;
};

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_STORE_READER_H_
