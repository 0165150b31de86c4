// Reader: an open store file.  Open() maps the whole file read-only, checks
// its header (and, when asked, the whole-file CRC-32) and builds the index:
// a hash table from key to entry for exact lookups, and the entries in file
// order for prefix scans and listings.  A Reader never changes after Open(),
// so any number of threads may query one instance at once without locking.
//
// The Reader owns the mapping and the index.  Views it hands out
// (ObjectView, key_at) point into them and live as long as the Reader;
// everything else it returns is an owned copy.
#ifndef VORLSTORE_CORE_READER_H_
#define VORLSTORE_CORE_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/status.h"

namespace vorl {

// A listed entry: the key as text (see KeyToText) and a copy of its object.
struct KeyedObject {
  std::string key;
  std::string payload;
  bool operator==(const KeyedObject&) const = default;
};

// The values reported as statistics, in reporting order.
struct ReaderStats {
  std::string path;
  long version = 2;
  std::uint32_t num_keys = 0;
  std::uint32_t num_objects = 0;
  std::uint64_t index_offset = 0;
  std::uint64_t data_offset = 40;
  double file_size_kb = 0;
  std::string file_crc32;  // "0x" and eight lower-case hex digits
};

// Key bytes as text: valid UTF-8 unchanged, each maximal invalid subpart
// replaced by U+FFFD.  Never fails.
std::string KeyToText(std::string_view key);

class Reader {
 public:
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Opens and indexes the store at `path`.  The first failing check decides
  // the error; on failure nothing stays mapped or open.
  static Result<std::unique_ptr<const Reader>> Open(std::string_view path, bool verify = true);

  // Bounds-checked record read at `offset`: the payload as a view into the
  // mapping, or a corrupt error.  The record's CRC is not checked.
  Result<std::string_view> ObjectView(std::uint64_t offset) const;
  // The same, as an owned copy.
  Result<std::string> ReadObject(std::uint64_t offset) const;

  // Deep verification: the whole-file CRC, then every distinct referenced
  // record's bounds and CRC, in index order.  OK or the first failure.
  Status Verify() const;

  // --- Queries.  Each result is an owned copy.
  Result<std::optional<std::string>> GetRaw(std::string_view key) const;
  bool Exists(std::string_view key) const;
  Result<std::vector<KeyedObject>> PrefixRaw(std::string_view prefix) const;
  std::vector<std::string> Keys() const;
  Result<std::vector<KeyedObject>> ItemsRaw() const;
  Result<std::vector<std::string>> ObjectsRaw() const;
  ReaderStats Stats() const;

  // --- Zero-copy access for callers that build their own results.
  // Index entries in file order; duplicates included.
  std::size_t num_entries() const;
  std::string_view key_at(std::size_t i) const;
  std::uint64_t offset_at(std::size_t i) const;
  // The offset stored for `key` (the last entry wins for duplicate keys).
  std::optional<std::uint64_t> Find(std::string_view key) const;
  // Entries [first, second) are those whose key starts with `prefix`.
  std::pair<std::size_t, std::size_t> PrefixRange(std::string_view prefix) const;
  // Calls visit(i, payload_view) for each entry in [begin, end), in order;
  // the first failed object read ends the walk and is returned.
  template <typename Visit>
  Status VisitEntries(std::size_t begin, std::size_t end, Visit&& visit) const;
  // Calls visit(payload_view) once per distinct object offset, in the order
  // of the first entry that refers to it.
  template <typename Visit>
  Status VisitUniqueObjects(Visit&& visit) const;

  const std::string& path() const;
  std::uint32_t num_keys() const;
  std::uint32_t num_objects() const;

 private:
  struct State;
  explicit Reader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_READER_H_
