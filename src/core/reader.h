// Reader: an open store file.  Open() maps the whole file read-only, checks
// its header (and, when asked, the whole-file CRC-32) and builds the index:
// a hash table from key to entry for exact lookups, and the entries in file
// order for prefix scans and listings.  A Reader never changes after Open(),
// so any number of threads may query one instance at once without locking.
//
// The Reader owns the mapping and the index.  Views it hands out
// (ObjectView, key_at, EntryCursor) point into them and live as long as the Reader;
// everything else it returns is an owned copy.
#ifndef VORLSTORE_CORE_READER_H_
#define VORLSTORE_CORE_READER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/file.h"
#include "core/format.h"
#include "core/key_index.h"
#include "core/mapping_guard.h"
#include "core/offset_set.h"
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
  long version = format::kVersion;
  std::uint32_t num_keys = 0;
  std::uint32_t num_objects = 0;
  std::uint64_t index_offset = 0;
  std::uint64_t data_offset = format::kDataOffset;
  double file_size_kb = 0;
  std::string file_crc32;  // "0x" and eight lower-case hex digits
};

// Key bytes as text: valid UTF-8 unchanged, each maximal invalid subpart
// replaced by U+FFFD.  Never fails.
std::string KeyToText(std::string_view key);

// A checksum as messages and statistics show it: "0x" and eight lower-case
// hex digits.
std::string Crc32Text(std::uint32_t crc);

class EntryCursor;

// The whole-file check of Open and Verify: the bytes after the header
// against the header's file_crc32.  Pages before `keep_from` are dropped
// behind the pass on a large file.  REQUIRES: the mapping holds a header.
Status CheckFileCrc(const Mapping& mapping, std::uint32_t stored, std::uint64_t keep_from);

// Opens `path` read-only without blocking on special files, refuses
// anything but a regular file (a directory fails at the mapping) and maps it
// whole: the first three steps of opening a store, with their messages.
Result<Mapping> MapStoreFile(std::string_view path);

// The bounds-checked read of the object record at `offset` in a mapped file
// of `size` bytes: its payload as a view, or a corrupt error.  The record's
// CRC is not checked.
Result<std::string_view> RecordView(const unsigned char* data, std::uint64_t size, std::uint64_t offset);

// The deep check of one record: its bounds, then its payload's CRC-32,
// with Verify's messages.
Status CheckRecordAt(const unsigned char* data, std::uint64_t size, std::uint64_t offset);

// Calls visit(offset) once per distinct value among offset_at(0), ...,
// offset_at(n - 1), in that order; offset_at returns Result<uint64_t>.  The
// first failure, of either, ends the walk and is returned.  Every reader's
// Verify and unique-object walk goes through here.
template <typename OffsetAt, typename Visit>
Status VisitDistinctOffsets(std::size_t n, OffsetAt&& offset_at, Visit&& visit) {
  OffsetSet seen(n);
  for (std::size_t i = 0; i < n; ++i) {
    Result<std::uint64_t> offset = offset_at(i);
    if (!offset.ok()) return std::move(offset).status();
    if (!seen.Insert(offset.value())) continue;
    if (Status s = visit(offset.value()); !s.ok()) return s;
  }
  return {};
}

class Reader {
 public:
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Opens and indexes the store at `path`.  The first failing check decides
  // the error; on failure nothing stays mapped or open.
  static Result<std::unique_ptr<const Reader>> Open(std::string_view path, bool verify = true);

  // Bounds-checked record read at `offset`: the payload as a view into the
  // mapping, or a corrupt error.  The record's CRC is not checked.  A caller
  // that copies from a view calls CheckUnchanged() once it has copied: a
  // file truncated in place reads as zeros there (see mapping_guard.h).
  Result<std::string_view> ObjectView(std::uint64_t offset) const;
  // The same, as an owned copy.
  Result<std::string> ReadObject(std::uint64_t offset) const;

  // OK, or the corrupt error of a read that found the file changed under the
  // mapping since it was opened.
  Status CheckUnchanged() const { return guard_.Check(); }

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

  // --- Zero-copy access for callers that build their own results (the
  // binding, and cursors that walk entries lazily: see EntryCursor below).
  // Views live as long as the Reader.  Index entries are in file order,
  // duplicates included.
  std::size_t num_entries() const { return index_.size(); }
  // REQUIRES: i < num_entries().
  std::string_view key_at(std::size_t i) const { return index_.key(i); }
  std::uint64_t offset_at(std::size_t i) const { return index_.offset(i); }
  // The object of entry i as a view into the mapping, or the corrupt error
  // of ObjectView.  REQUIRES: i < num_entries().
  Result<std::string_view> EntryObject(std::size_t i) const { return ObjectView(offset_at(i)); }
  // The offset stored for `key` (the last entry wins for duplicate keys).
  std::optional<std::uint64_t> Find(std::string_view key) const { return index_.Find(key); }
  // The object stored for `key` (the last entry wins for duplicate keys) as
  // a view into the mapping, no value for an absent key, or the corrupt
  // error of ObjectView.
  Result<std::optional<std::string_view>> FindObject(std::string_view key) const;
  // out[i] = FindObject(keys[i]) for each i, the cache misses of different
  // keys overlapped; the first failure ends the batch (batch_lookup.h).
  // REQUIRES: out.size() == keys.size().
  Status FindObjects(std::span<const std::string_view> keys,
                     std::span<std::optional<std::string_view>> out) const;
  // Entries [first, second) are those whose key starts with `prefix`.
  std::pair<std::size_t, std::size_t> PrefixRange(std::string_view prefix) const;
  // The first entry whose key is not below `key` (num_entries() if none).
  std::size_t LowerBound(std::string_view key) const;
  // Calls visit(i, key_view) for each entry in [begin, end), in order.
  template <typename Visit>
  void VisitKeys(std::size_t begin, std::size_t end, Visit&& visit) const;
  // Calls visit(i, payload_view) for each entry in [begin, end), in order;
  // the first failed object read ends the walk and is returned.  A visitor
  // may return a Status; a failed one ends the walk too and is returned.
  template <typename Visit>
  Status VisitEntries(std::size_t begin, std::size_t end, Visit&& visit) const;
  // Calls visit(payload_view) once per distinct object offset, in the order
  // of the first entry that refers to it.  Failures end the walk as above.
  template <typename Visit>
  Status VisitUniqueObjects(Visit&& visit) const;

  const std::string& path() const { return path_; }
  std::uint32_t num_keys() const { return num_keys_; }
  std::uint32_t num_objects() const { return num_objects_; }
  std::uint64_t file_size() const { return mapping_.size(); }

 private:
  Reader(std::string path, Mapping mapping, MappingGuard guard, const format::Header& header, KeyIndex index);
  // Verify's checks, before the guard has its say.
  Status VerifyMapped() const;

  // (key text, payload copy) for entries [begin, end).
  Result<std::vector<KeyedObject>> Pairs(std::size_t begin, std::size_t end) const;

  friend class EntryCursor;

  // Entries lie at random places in memory and a walk's work per entry is
  // short, so walks in file order ask for the entry kEntryLead steps ahead,
  // and for its record kRecordLead steps ahead, once the entry has had time
  // to arrive: the cache misses then overlap instead of following one
  // another.  The prefetch helpers are always inlined: GCC deems a function
  // whose only effect is a prefetch free of side effects and drops calls to
  // it.
  static constexpr std::size_t kEntryLead = 16;
  static constexpr std::size_t kRecordLead = 8;
  static constexpr std::uint64_t kCacheLine = 64;
  [[gnu::always_inline]] void PrefetchEntry(std::size_t i) const { index_.Prefetch(i); }
  // The record's first two cache lines, if it starts inside the file.
  [[gnu::always_inline]] void PrefetchRecord(std::uint64_t offset) const {
    const std::uint64_t size = mapping_.size();
    if (offset >= size) return;
    __builtin_prefetch(mapping_.data() + offset);
    if (size - offset > kCacheLine) __builtin_prefetch(mapping_.data() + offset + kCacheLine);
  }

  // Calls visit(offset) once per distinct record offset, in the order of
  // the first entry that refers to it; a failed Status from the visitor
  // ends the walk and is returned.
  template <typename Visit>
  Status VisitUniqueOffsets(Visit&& visit) const;

  // Calls visit(args...) and turns its result into a Status: visitors that
  // return nothing always succeed.
  template <typename Visit, typename... Args>
  static Status Call(Visit& visit, Args&&... args) {
    if constexpr (std::is_same_v<std::invoke_result_t<Visit&, Args...>, Status>) {
      return visit(std::forward<Args>(args)...);
    } else {
      visit(std::forward<Args>(args)...);
      return {};
    }
  }

  std::string path_;
  Mapping mapping_;
  MappingGuard guard_;  // declared after mapping_: unregisters before the unmap
  std::uint32_t num_keys_;
  std::uint32_t num_objects_;
  std::uint64_t index_offset_;
  std::uint32_t file_crc32_;
  KeyIndex index_;
};

// Walks entries [begin, end) of a Reader one step at a time, in file order,
// for callers that take entries lazily (and for the Reader's own walks).
// It asks for the entries, and when objects are wanted their records, a few
// steps ahead, so a caller never deals with the cache.  A cursor is a plain
// value: it borrows the Reader, which must outlive it, and is not itself
// thread-safe.
class EntryCursor {
 public:
  enum class Wants { kKeys, kObjects };

  EntryCursor(const Reader& reader, std::size_t begin, std::size_t end, Wants wants = Wants::kObjects)
      : reader_(&reader), i_(begin), end_(std::min(end, reader.num_entries())), wants_(wants) {
    if (!done()) Ahead();
  }

  bool done() const { return i_ >= end_; }
  // REQUIRES: !done() for the three below.
  std::size_t index() const { return i_; }
  std::string_view key() const { return reader_->key_at(i_); }
  Result<std::string_view> object() const { return reader_->EntryObject(i_); }

  [[gnu::always_inline]] void Next() {
    if (++i_ < end_) Ahead();
  }

 private:
  [[gnu::always_inline]] void Ahead() const {
    const std::size_t left = end_ - i_;
    if (left > Reader::kEntryLead) reader_->PrefetchEntry(i_ + Reader::kEntryLead);
    if (wants_ == Wants::kObjects && left > Reader::kRecordLead) {
      reader_->PrefetchRecord(reader_->offset_at(i_ + Reader::kRecordLead));
    }
  }

  const Reader* reader_;
  std::size_t i_;
  std::size_t end_;
  Wants wants_;
};

template <typename Visit>
void Reader::VisitKeys(std::size_t begin, std::size_t end, Visit&& visit) const {
  for (EntryCursor c(*this, begin, end, EntryCursor::Wants::kKeys); !c.done(); c.Next())
    visit(c.index(), c.key());
}

template <typename Visit>
Status Reader::VisitEntries(std::size_t begin, std::size_t end, Visit&& visit) const {
  for (EntryCursor c(*this, begin, end); !c.done(); c.Next()) {
    Result<std::string_view> object = c.object();
    if (!object.ok()) return std::move(object).status();
    if (Status s = Call(visit, c.index(), object.value()); !s.ok()) return s;
  }
  return guard_.Check();
}

template <typename Visit>
Status Reader::VisitUniqueOffsets(Visit&& visit) const {
  // The cursor keeps pace with the walk only to fetch entries and records
  // ahead of it.
  EntryCursor c(*this, 0, num_entries());
  Status s = VisitDistinctOffsets(
      num_entries(),
      [&](std::size_t i) -> Result<std::uint64_t> {
        c.Next();
        return offset_at(i);
      },
      [&](std::uint64_t offset) { return Call(visit, offset); });
  if (!s.ok()) return s;
  return guard_.Check();
}

template <typename Visit>
Status Reader::VisitUniqueObjects(Visit&& visit) const {
  return VisitUniqueOffsets([&](std::uint64_t offset) -> Status {
    Result<std::string_view> object = ObjectView(offset);
    if (!object.ok()) return std::move(object).status();
    return Call(visit, object.value());
  });
}

}  // namespace vorl

#endif  // VORLSTORE_CORE_READER_H_
