// Reader: an open store file (store_file.h) and its index, either kind: the
// on-disk hash index section (hash_section.h) when the file has a usable
// one and the caller accepts it, or the in-memory index (key_index.h) built
// at open from the sorted entries.  Each call dispatches once on the kind
// and then runs that kind's code; both kinds answer every call the same way.
//
// With a section, Open builds nothing: it costs O(1) (plus the whole-file
// CRC when asked) and every process reading the file shares the index
// through the page cache.  Its positions are trusted only as far as each
// access checks them, so an entry access or lookup may fail with a corrupt
// error on a damaged file opened without the checksum.  The in-memory index
// is checked whole at open, after which its accesses cannot fail.
//
// The Reader owns the file and the index.  Views it hands out point into
// them and live as long as the Reader.  It never changes after Open(), so
// any number of threads may query one instance at once without locking.
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

#include "core/format.h"
#include "core/hash_section.h"
#include "core/key_index.h"
#include "core/offset_set.h"
#include "core/status.h"
#include "core/store_file.h"

namespace vorl {

// The values reported as statistics: facts, each binding formats them.
struct ReaderStats {
  std::string path;
  long version = format::kVersion;
  std::uint32_t num_keys = 0;
  std::uint32_t num_objects = 0;
  std::uint64_t index_offset = 0;
  std::uint64_t data_offset = format::kDataOffset;
  std::uint64_t file_size = 0;  // bytes
  std::uint32_t file_crc32 = 0;
  bool hash_index = false;
};

// Which index a Reader answers through.
enum class IndexUse {
  kSectionIfPresent,  // the on-disk section when usable, else the in-memory index
  kInMemory,          // always build the in-memory index, checking every entry at open,
                      // and read no section after the index (no dictionary either)
};

// Calls visit(offset) once per distinct value among offset_at(0), ...,
// offset_at(n - 1), in that order; offset_at returns Result<uint64_t>.  The
// first failure, of either, ends the walk and is returned.
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

  // Opens the store at `path`; `verify` checks the whole-file CRC first.
  // The first failing check decides the error; on failure nothing stays
  // mapped or open.
  static Result<std::unique_ptr<const Reader>> Open(std::string_view path, bool verify = true,
                                                    IndexUse use = IndexUse::kSectionIfPresent);

  // Whether lookups go through the file's hash index section.
  bool has_hash_index() const { return section_.has_value(); }
  // The compression dictionary of the store (dictionary_section.h), empty
  // for a store without one or opened with IndexUse::kInMemory.  A damaged
  // dictionary section fails Open (corrupt).
  const std::string& dictionary() const { return dictionary_; }

  // --- Entries, in index order (ascending keys), duplicates included.
  std::size_t num_entries() const { return section_ ? section_->num_keys() : memory_.size(); }
  // Entry i: its key and object offset.  Fails (kind other) when i is out of
  // range, or with a corrupt error when the section leads outside the index.
  Result<EntryView> Entry(std::size_t i) const;
  // The first entry whose key is not below `key` (num_entries() if none).
  Result<std::size_t> LowerBound(std::string_view key) const;
  // Entries [first, second) are those whose key starts with `prefix`.
  Result<std::pair<std::size_t, std::size_t>> PrefixRange(std::string_view prefix) const;

  // --- Lookups.  The last entry wins for duplicate keys.
  Result<std::optional<std::uint64_t>> Find(std::string_view key) const;
  // The object stored for `key` as a view into the mapping, no value for an
  // absent key, or a corrupt error.
  Result<std::optional<std::string_view>> FindObject(std::string_view key) const;
  // out[i] = FindObject(keys[i]) for each i, the cache misses of different
  // keys overlapped; the first failure ends the batch (batch_lookup.h).
  // REQUIRES: out.size() == keys.size().
  Status FindObjects(std::span<const std::string_view> keys,
                     std::span<std::optional<std::string_view>> out) const;
  // Bounds-checked record read at `offset`: the payload as a view into the
  // mapping, or a corrupt error.  The record's CRC is not checked.  A caller
  // that copies from a view calls CheckUnchanged() once it has copied: a
  // file truncated in place reads as zeros there (see mapping_guard.h).
  Result<std::string_view> ObjectView(std::uint64_t offset) const { return file_.Record(offset); }
  // The deep check of the record at `offset`: its bounds, then its CRC.  A
  // file changed under the mapping explains a mismatch and is reported
  // instead.
  Status CheckObject(std::uint64_t offset) const { return file_.Overriding(file_.CheckRecord(offset)); }

  // --- Walks.  Each dispatches once, then walks the index in use; the first
  // failed entry or object read ends it and is returned, as does a failed
  // Status a visitor returns (visitors may also return nothing).  Those that
  // read objects end with CheckUnchanged().
  // visit(i, key_view) for each entry in [begin, end).  Keys of the
  // in-memory index are its own copies; a caller that copies keys of a
  // section calls CheckUnchanged() after.
  template <typename Visit>
  Status VisitKeys(std::size_t begin, std::size_t end, Visit&& visit) const;
  // visit(i, key_view, payload_view) for each entry in [begin, end).
  template <typename Visit>
  Status VisitEntries(std::size_t begin, std::size_t end, Visit&& visit) const;
  // visit(i, entry) for each entry of [begin, end) that lookups answer with:
  // an entry followed by one with the same key is skipped.
  template <typename Visit>
  Status VisitLiveEntries(std::size_t begin, std::size_t end, Visit&& visit) const;
  // visit(payload_view) once per distinct object offset, in the order of the
  // first entry that refers to it.
  template <typename Visit>
  Status VisitUniqueObjects(Visit&& visit) const;
  // visit(offset, payload_view) once per distinct object that lookups reach
  // (through the entries VisitLiveEntries visits), in index order: an object
  // only a shadowed duplicate refers to is left out.
  template <typename Visit>
  Status VisitLiveObjects(Visit&& visit) const;

  // OK, or the corrupt error of a read that found the file changed under the
  // mapping since it was opened.
  Status CheckUnchanged() const { return file_.CheckUnchanged(); }

  // Deep verification: the whole-file CRC; with a section, that it answers
  // every key of the sorted index with that key's entry and lists exactly the
  // index's entries; then every distinct referenced record's bounds and CRC,
  // in index order.  OK or the first failure.
  Status Verify() const;

  ReaderStats Stats() const;
  const std::string& path() const { return file_.path(); }
  std::uint32_t num_keys() const { return file_.header().num_keys; }
  std::uint32_t num_objects() const { return file_.header().num_objects; }
  std::uint64_t file_size() const { return file_.size(); }

 private:
  Reader(StoreFile file, KeyIndex memory, std::optional<HashSection> section, std::string dictionary)
      : file_(std::move(file)),
        memory_(std::move(memory)),
        section_(section),
        dictionary_(std::move(dictionary)) {}

  // The first i in [lo, num_entries()) for which goes_right(key of entry i)
  // is false, where goes_right holds for a leading run of entries only.
  template <typename Pred>
  Result<std::size_t> SectionPartitionPoint(std::size_t lo, Pred goes_right) const;
  std::size_t MemoryLowerBound(std::string_view key) const;
  // Calls visit(offset) once per distinct record offset, in the order of
  // the first entry that refers to it; a failed Status ends the walk.
  template <typename Visit>
  Status VisitUniqueOffsets(Visit&& visit) const;

  // Calls fn(entry_at, prefetch): entry_at(i) gives Result<EntryView> for
  // the index in use, prefetch(i, wants_record) starts loading entry i (and
  // its record) for walks that reach it soon.
  template <typename Fn>
  decltype(auto) WithEntries(Fn&& fn) const;
  // The walk behind VisitKeys (visit(i, key)) and, with kObjects,
  // VisitEntries (visit(i, key, payload)), which reads each record and ends
  // by checking that the file is unchanged.
  template <bool kObjects, typename Visit>
  Status Walk(std::size_t begin, std::size_t end, Visit&& visit) const;

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

  // Entries of the in-memory index lie at random places in memory and a
  // walk's work per entry is short, so walks ask for the entry kEntryLead
  // steps ahead, and for its record kRecordLead steps ahead, once the entry
  // has had time to arrive: the cache misses then overlap instead of
  // following one another.  The prefetch helpers are always inlined: GCC
  // deems a function whose only effect is a prefetch free of side effects
  // and drops calls to it.
  static constexpr std::size_t kEntryLead = 16;
  static constexpr std::size_t kRecordLead = 8;
  static constexpr std::uint64_t kCacheLine = 64;
  // The record's first two cache lines, if it starts inside the file.
  [[gnu::always_inline]] void PrefetchRecord(std::uint64_t offset) const {
    const std::uint64_t size = file_.size();
    if (offset >= size) return;
    const unsigned char* data = file_.bytes().data;
    __builtin_prefetch(data + offset);
    if (size - offset > kCacheLine) __builtin_prefetch(data + offset + kCacheLine);
  }

  StoreFile file_;
  KeyIndex memory_;                     // empty when section_ is set
  std::optional<HashSection> section_;  // views into file_'s mapping
  std::string dictionary_;
};

template <typename Fn>
decltype(auto) Reader::WithEntries(Fn&& fn) const {
  if (section_) {
    const HashSection& section = *section_;
    return fn([&section](std::size_t i) { return section.Entry(i); },
              [](std::size_t /*i*/, std::size_t /*end*/, bool /*record*/) {});
  }
  return fn(
      [this](std::size_t i) -> Result<EntryView> {
        return EntryView{memory_.key(i), memory_.offset(i)};
      },
      [this](std::size_t i, std::size_t end, bool record) [[gnu::always_inline]] {
        const std::size_t left = end - i;
        if (left > kEntryLead) memory_.Prefetch(i + kEntryLead);
        if (record && left > kRecordLead) PrefetchRecord(memory_.offset(i + kRecordLead));
      });
}

template <bool kObjects, typename Visit>
Status Reader::Walk(std::size_t begin, std::size_t end, Visit&& visit) const {
  end = std::min(end, num_entries());
  return WithEntries([&](auto entry_at, auto prefetch) -> Status {
    for (std::size_t i = begin; i < end; ++i) {
      prefetch(i, end, kObjects);
      Result<EntryView> entry = entry_at(i);
      if (!entry.ok()) return std::move(entry).status();
      if constexpr (kObjects) {
        Result<std::string_view> object = file_.Record(entry.value().object_offset);
        if (!object.ok()) return std::move(object).status();
        if (Status s = Call(visit, i, entry.value().key, object.value()); !s.ok()) return s;
      } else {
        if (Status s = Call(visit, i, entry.value().key); !s.ok()) return s;
      }
    }
    if constexpr (kObjects) {
      return file_.CheckUnchanged();
    } else {
      return Status();
    }
  });
}

template <typename Visit>
Status Reader::VisitKeys(std::size_t begin, std::size_t end, Visit&& visit) const {
  return Walk<false>(begin, end, std::forward<Visit>(visit));
}

template <typename Visit>
Status Reader::VisitEntries(std::size_t begin, std::size_t end, Visit&& visit) const {
  return Walk<true>(begin, end, std::forward<Visit>(visit));
}

template <typename Visit>
Status Reader::VisitLiveEntries(std::size_t begin, std::size_t end, Visit&& visit) const {
  const std::size_t n = num_entries();
  end = std::min(end, n);
  if (begin >= end) return {};
  return WithEntries([&](auto entry_at, auto prefetch) -> Status {
    Result<EntryView> current = entry_at(begin);
    for (std::size_t i = begin; i < end; ++i) {
      if (!current.ok()) return std::move(current).status();
      prefetch(i, n, false);
      // Index entries are in key order, which puts equal keys side by side.
      std::optional<Result<EntryView>> next;
      if (i + 1 < n) next.emplace(entry_at(i + 1));
      if (next && !next->ok()) return std::move(*next).status();
      if (!next || next->value().key != current.value().key) {
        if (Status s = Call(visit, i, current.value()); !s.ok()) return s;
      }
      if (!next) break;
      current = std::move(*next);
    }
    return file_.CheckUnchanged();
  });
}

template <typename Visit>
Status Reader::VisitUniqueOffsets(Visit&& visit) const {
  const std::size_t n = num_entries();
  return WithEntries([&](auto entry_at, auto prefetch) -> Status {
    return VisitDistinctOffsets(
        n,
        [&](std::size_t i) -> Result<std::uint64_t> {
          prefetch(i, n, true);
          Result<EntryView> entry = entry_at(i);
          if (!entry.ok()) return std::move(entry).status();
          return entry.value().object_offset;
        },
        visit);
  });
}

template <typename Visit>
Status Reader::VisitUniqueObjects(Visit&& visit) const {
  Status s = VisitUniqueOffsets([&](std::uint64_t offset) -> Status {
    Result<std::string_view> object = file_.Record(offset);
    if (!object.ok()) return std::move(object).status();
    return Call(visit, object.value());
  });
  if (!s.ok()) return s;
  return file_.CheckUnchanged();
}

template <typename Visit>
Status Reader::VisitLiveObjects(Visit&& visit) const {
  OffsetSet seen(num_entries());
  return VisitLiveEntries(0, num_entries(), [&](std::size_t, const EntryView& entry) -> Status {
    if (!seen.Insert(entry.object_offset)) return {};
    Result<std::string_view> object = file_.Record(entry.object_offset);
    if (!object.ok()) return std::move(object).status();
    return Call(visit, entry.object_offset, object.value());
  });
}

}  // namespace vorl

#endif  // VORLSTORE_CORE_READER_H_
