// Writer: collects object blobs and a key -> object-id map in memory and
// publishes them as one store file.  Objects get dense ids 0, 1, 2, ... in
// order of addition; a key added twice is handled by the writer's duplicate
// rule (by default it keeps its last id).  Build() never changes the
// writer, so it may run any number of times.
//
// Not thread-safe: the owner serialises calls (the Python class does so with
// its borrow counter).
#ifndef VORLSTORE_CORE_WRITER_H_
#define VORLSTORE_CORE_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/build_summary.h"
#include "core/byte_buffer.h"
#include "core/file.h"
#include "core/format.h"
#include "core/key_map.h"
#include "core/path.h"
#include "core/status.h"

namespace vorl {

struct BuildOptions {
  // Print the summary line on descriptor 1 after publishing.
  bool print_summary = true;
  // Asked while the build waits for another build of the same target and
  // once more just before the store is published; true stops the build
  // with kCancelled and leaves the target untouched.
  CancelCheck cancel;
  // Append the on-disk hash index after the index entries (hash_section.h),
  // keyed by `seed` (none derives it from the content).  Off by default, so
  // that the low-level writer's bytes stay as they are.
  bool hash_index = false;
  std::optional<std::uint64_t> seed;
  // Leave out the objects that no key names (a key added again under the
  // rule kLast leaves its first object so).  Off by default: the low-level
  // writer stores every object it was given.
  bool drop_unreachable = false;
  // Leave the temporary file of a failed or cancelled build where it
  // stopped, for a look at it (the low-level writer's rule); false removes
  // it while the lock is still held.
  bool keep_failed_temporary = true;
  // The compression dictionary the records were made with, stored in its
  // section (dictionary_section.h); empty for a store without one.
  std::string_view dictionary;
};

// The checks every builder makes as objects and keys are added, with their
// messages: a blob that the format cannot hold or one object too many, and
// a key naming no object or too long.  The key count is KeyMap's to check.
// Inline, with the messages built out of line: they run once per object
// and per key, and an out-of-line call returning a Status costs a tenth of
// an add.
Status RejectedObject(std::size_t blob_size);
Status RejectedKey(std::string_view key, std::uint32_t obj_id, std::uint64_t num_objects);
inline Status CheckNewObject(std::size_t blob_size, std::uint64_t num_objects) {
  if (blob_size <= format::kMaxPayloadLength && num_objects < format::kMaxCount) [[likely]]
    return {};
  return RejectedObject(blob_size);
}
inline Status CheckNewKey(std::string_view key, std::uint32_t obj_id, std::uint64_t num_objects) {
  if (obj_id < num_objects && key.size() <= format::kMaxKeyLength) [[likely]]
    return {};
  return RejectedKey(key, obj_id, num_objects);
}

class Writer {
 public:
  Writer() = default;
  explicit Writer(OnDuplicate on_duplicate) : on_duplicate_(on_duplicate) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Appends a copy of `blob` and returns its id.  Fails (kind other) only
  // when the blob or the object count would not fit the file format.
  Result<std::uint32_t> AddObject(std::string_view blob);

  // Maps `key` to `obj_id`; a key added before follows the duplicate rule.
  // Fails (kind other) when obj_id names no object, the key is too long, or
  // it is a duplicate under kError.
  Status AddKey(std::string_view key, std::uint32_t obj_id);
  bool HasKey(std::string_view key) const { return keys_.Contains(key); }

  // Lays the store out and publishes it at `path` (PendingFile:
  // temporary file, fsync, rename, directory sync), then prints the summary
  // line unless told not to.  Failures are kind I/O, or kCancelled; a failed
  // summary print is kind internal (the store is in place by then).
  Result<BuildSummary> Build(std::string_view path, const BuildOptions& options = {}) const;

  std::uint64_t num_objects() const { return object_offsets_.size(); }
  std::uint64_t num_keys() const { return keys_.size(); }
  std::uint64_t duplicates() const { return keys_.duplicates(); }
  OnDuplicate on_duplicate() const { return on_duplicate_; }

 private:
  // The object section exactly as it goes into the file: each record's
  // length, CRC-32 and payload, encoded when the object is added.
  ByteBuffer records_;
  // Offset of each object's record within records_ (add 40 for the file).
  std::vector<std::uint64_t> object_offsets_;

  KeyMap keys_;
  OnDuplicate on_duplicate_ = OnDuplicate::kLast;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_WRITER_H_
