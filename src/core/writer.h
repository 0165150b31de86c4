// Writer: collects object blobs and a key -> object-id map in memory and
// publishes them as one store file.  Objects get dense ids 0, 1, 2, ... in
// order of addition; a key added twice keeps its last id.  Build() never
// changes the writer, so it may run any number of times.
//
// Not thread-safe: the owner serialises calls (the Python class does so with
// its borrow counter).
#ifndef VORLSTORE_CORE_WRITER_H_
#define VORLSTORE_CORE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/hash_seed.h"
#include "core/status.h"

namespace vorl {

// The temporary path a build of `target` writes before renaming: the last
// component's extension replaced by "vrls.tmp" (see writer.cc for the rule).
std::string TemporaryPathFor(std::string_view target);

class Writer {
 public:
  Writer() = default;
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Appends a copy of `blob` and returns its id.  Fails (kind other) only
  // when the blob or the object count would not fit the file format.
  Result<std::uint32_t> AddObject(std::string_view blob);

  // Maps `key` to `obj_id`, replacing an earlier id for the same key.
  // Fails (kind other) when obj_id names no object or the key is too long.
  Status AddKey(std::string_view key, std::uint32_t obj_id);

  // Writes the store to `path` through its temporary path, fsyncs, renames
  // it over `path`, syncs the directory and prints the summary line on
  // descriptor 1 unless `print_summary` is false.  Failures are kind I/O; a
  // failed summary print is kind internal (the store is in place by then).
  Status Build(std::string_view path, bool print_summary = true) const;

  std::uint64_t num_objects() const { return object_offsets_.size(); }
  std::uint64_t num_keys() const { return key_refs_.size(); }

 private:
  // A byte buffer grown with realloc.  glibc resizes large blocks by
  // remapping their pages, so growing the object section neither copies it
  // nor holds two copies of it at once, as a std::string's growth would.
  // Throws std::bad_alloc like the standard containers; the contents stay
  // intact then.
  class Bytes {
   public:
    Bytes() = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() { std::free(data_); }

    // Room for n more bytes at the end, counted in size() at once.
    unsigned char* Extend(std::size_t n);
    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }

   private:
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
  };

  std::string_view KeyOf(std::size_t entry) const {
    return {reinterpret_cast<const char*>(key_bytes_.data()) + (key_refs_[entry] >> 16),
            static_cast<std::size_t>(key_refs_[entry] & 0xFFFF)};
  }
  // Where a key's probe starts: the top bits of its hash.
  std::size_t Home(std::uint64_t hash) const { return static_cast<std::size_t>(hash >> (64 - table_bits_)); }
  // The slot that holds `key`, or the empty slot where it belongs.
  std::uint64_t& SlotFor(std::string_view key, std::uint64_t hash);
  void GrowTable();
  // Key entries in ascending key order.
  std::vector<std::uint32_t> SortedEntries() const;
  std::string IndexSection() const;

  // The object section exactly as it goes into the file: each record's
  // length, CRC-32 and payload, encoded when the object is added.
  Bytes records_;
  // Offset of each object's record within records_ (add 40 for the file).
  std::vector<std::uint64_t> object_offsets_;

  // The key map, an open-addressing hash table over key entries.  Entry i
  // (numbered in order of each key's first addition) has its bytes in
  // key_bytes_ at key_refs_[i] >> 16 (48 bits of position are more than any
  // memory holds), its length in the low 16 bits, and its object id in
  // key_ids_[i].  A slot holds 0 (empty) or the entry number + 1 in its low
  // 32 bits and the high 32 bits of the key's hash above them, so that
  // probes rarely touch other keys' bytes and growing the table rarely
  // needs them.
  Bytes key_bytes_;
  std::vector<std::uint64_t> key_refs_;
  std::vector<std::uint32_t> key_ids_;
  std::vector<std::uint64_t> slots_;
  int table_bits_ = 0;  // slots_.size() == 2^table_bits_
  HashKey hash_key_ = NewHashKey();
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_WRITER_H_
