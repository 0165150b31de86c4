// IndexedReader: a store opened through its on-disk hash index when it has
// one (hash_section.h), and through the in-memory index of Reader when it
// has not.
//
// With a section, Open maps the file, checks the header and the section's
// trailer and builds nothing: it costs O(1) (plus the whole-file CRC when
// asked), keeps O(1) private memory, and every process reading the file
// shares the index through the page cache.  Without a usable section (none,
// stale, or built for another header), and whenever the quick path cannot
// go on (the file cannot be opened or mapped, the header is bad), Open hands
// the path to Reader::Open, which gives the same results and exactly the
// same errors as today.  Both ways answer the same calls the same way;
// has_hash_index() says which one is in use.
//
// Positions in the section are trusted only as far as each access checks
// them, so a lookup or an entry access may fail with a corrupt error on a
// damaged file opened without the checksum.  Views returned point into the
// mapping and live as long as the IndexedReader.  The object is immutable
// after Open; any number of threads may query it at once.
#ifndef VORLSTORE_CORE_INDEXED_READER_H_
#define VORLSTORE_CORE_INDEXED_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/file.h"
#include "core/format.h"
#include "core/hash_section.h"
#include "core/mapping_guard.h"
#include "core/reader.h"
#include "core/status.h"

namespace vorl {

class IndexedReader {
 public:
  IndexedReader(const IndexedReader&) = delete;
  IndexedReader& operator=(const IndexedReader&) = delete;

  // Opens the store at `path`; `verify` checks the whole-file CRC first.
  static Result<std::unique_ptr<const IndexedReader>> Open(std::string_view path, bool verify = true);

  // Whether lookups go through the file's hash index section.
  bool has_hash_index() const { return fallback_ == nullptr; }

  // Index entries in file order, duplicates included.
  std::size_t num_entries() const;
  // Entry i: its key and object offset.  Fails (kind other) when i is out of
  // range, or with a corrupt error when the section leads outside the index.
  Result<EntryView> Entry(std::size_t i) const;
  // The object offset of the last entry whose key is `key`, or no value.
  Result<std::optional<std::uint64_t>> Find(std::string_view key) const;
  // The object of that entry as a view into the mapping, or no value.
  Result<std::optional<std::string_view>> FindObject(std::string_view key) const;
  // out[i] = FindObject(keys[i]) for each i, with the cache misses of
  // different keys overlapped; the first failing key ends the batch with its
  // error.  REQUIRES: out.size() == keys.size().
  Status FindObjects(std::span<const std::string_view> keys,
                     std::span<std::optional<std::string_view>> out) const;
  // The payload of the record at `offset`, bounds-checked as Reader's.
  Result<std::string_view> ObjectView(std::uint64_t offset) const;
  // The first entry whose key is not less than `key` (num_entries() when
  // none is), by binary search: the entries are in ascending key order, as
  // the writer lays them out.
  Result<std::size_t> LowerBound(std::string_view key) const;
  // Entries [first, second) are those whose key starts with `prefix`; two
  // binary searches, whatever the number of matches.
  Result<std::pair<std::size_t, std::size_t>> PrefixRange(std::string_view prefix) const;

  // OK, or the corrupt error of a file that shrank under the mapping since
  // it was opened.  Callers that copy from a view call it after copying.
  Status CheckUnchanged() const;

  // Deep verification, as Reader::Verify: the whole-file CRC, then each
  // distinct referenced record's bounds and CRC in index order, with its
  // messages.  OK or the first failure.
  Status Verify() const;

  // The header values, as Reader reports them.
  ReaderStats Stats() const;

  // The compression dictionary of the store (dictionary_section.h), empty
  // for a store without one.  A damaged section fails Open (corrupt).
  const std::string& dictionary() const { return dictionary_; }

 private:
  explicit IndexedReader(std::unique_ptr<const Reader> fallback) : fallback_(std::move(fallback)) {}
  IndexedReader(std::string path, Mapping mapping, MappingGuard guard, const format::Header& header,
                const HashSection& section)
      : path_(std::move(path)),
        mapping_(std::move(mapping)),
        guard_(std::move(guard)),
        header_(header),
        section_(section) {}

  // The first i in [lo, num_entries()) for which goes_right(key of entry i)
  // is false, where goes_right holds for a leading run of entries only.
  template <typename Pred>
  Result<std::size_t> PartitionPoint(std::size_t lo, Pred goes_right) const;
  // Copies the dictionary out of `mapping`, the file as Open mapped it.
  Status TakeDictionary(const Mapping& mapping, const MappingGuard& guard);

  // Set when the file is read without a section; the fields below are then
  // unused.
  std::unique_ptr<const Reader> fallback_;
  std::string path_;
  Mapping mapping_;
  MappingGuard guard_;  // declared after mapping_: unregisters before the unmap
  format::Header header_;
  std::optional<HashSection> section_;
  std::string dictionary_;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_INDEXED_READER_H_
