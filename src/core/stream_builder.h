// StreamBuilder: builds a store whose objects go to the target's temporary
// file as they are added, so that only the keys and the record offsets stay
// in memory (about 8 bytes per object and the key bytes plus 24 per key;
// the commit sorts the keys and writes the index after the objects).
//
// The file is published the way Writer publishes (PendingFile: lock, fsync,
// rename, directory sync) and laid out by the same code (store_layout.h),
// so the same adds give the same bytes.  Unlike the low-level writer, a
// builder that is discarded, destroyed uncommitted or fails its commit
// removes its temporary file: an abandoned stream is of no use to anyone.
// Once committed, discarded or failed the builder is finished and every
// further call fails (kind other).
//
// Not thread-safe: the owner serialises calls.
#ifndef VORLSTORE_CORE_STREAM_BUILDER_H_
#define VORLSTORE_CORE_STREAM_BUILDER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/build_summary.h"
#include "core/file.h"
#include "core/key_map.h"
#include "core/record_recode.h"
#include "core/status.h"
#include "core/store_layout.h"

namespace vorl {

struct StreamOptions {
  // Append the on-disk hash index after the index entries, keyed by `seed`
  // (none derives it from the content).
  bool hash_index = true;
  std::optional<std::uint64_t> seed;
  // What adding a key already present does.
  OnDuplicate on_duplicate = OnDuplicate::kLast;
  // Leave out the objects no key names, as BuildOptions says.
  bool drop_unreachable = false;
  // Asked while waiting for another build of the target, and just before
  // the rename; true stops with kCancelled and the target untouched.
  CancelCheck cancel;
  // Print the writer's summary line on descriptor 1 after publishing.
  bool print_summary = false;
};

class StreamBuilder {
 public:
  StreamBuilder(const StreamBuilder&) = delete;
  StreamBuilder& operator=(const StreamBuilder&) = delete;
  // Removes the temporary file unless the store was committed.
  ~StreamBuilder() { Discard(); }

  // Opens and locks the target's temporary file and writes the header
  // placeholder.  Failures are those of PendingFile::Create.
  static Result<std::unique_ptr<StreamBuilder>> Create(std::string_view target, StreamOptions options = {});

  // Writes the object's record now and returns its id (0, 1, 2, ...).  The
  // limits and messages are the Writer's; a failed write finishes the
  // builder, since the file no longer matches what it holds.
  Result<std::uint32_t> AddObject(std::string_view blob);
  // Maps `key` to `obj_id`; a key added again follows the duplicate rule.
  Status AddKey(std::string_view key, std::uint32_t obj_id);
  bool HasKey(std::string_view key) const { return keys_.Contains(key); }

  // Sorts the keys, writes the index (and the hash index when asked),
  // patches the header and publishes.  Records that no key names, when
  // asked to leave them out, were written before the keys that would show
  // it came; they are squeezed out here, by moving the records after the
  // first of them down within the temporary file (one pass over those
  // bytes, only when there are any).  Whatever the outcome the builder is
  // finished; on failure the temporary file is gone and the target as it was.
  // A non-empty `dictionary` goes into the dictionary section.  With
  // `recode`, every record kept is first rewritten with the payload it
  // makes (RecodeRecords), in the same pass that squeezes.
  Result<BuildSummary> Commit(std::string_view dictionary = {}, const Recode& recode = {});
  // Gives up: removes the temporary file.  Does nothing once finished.
  void Discard();

  bool finished() const { return !file_.has_value(); }
  std::uint64_t num_objects() const { return record_offsets_.size(); }
  std::uint64_t num_keys() const { return keys_.size(); }
  std::uint64_t duplicates() const { return keys_.duplicates(); }
  OnDuplicate on_duplicate() const { return options_.on_duplicate; }

 private:
  StreamBuilder(std::string target, StreamOptions options, PendingFile file);
  Status FinishedError() const;

  std::string target_;
  StreamOptions options_;
  std::optional<PendingFile> file_;  // empty once finished
  StoreAppender out_;                // writes through *file_ while it lives
  // Offset of each object's record from the start of the object section.
  std::vector<std::uint64_t> record_offsets_;
  KeyMap keys_;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_STREAM_BUILDER_H_
