// Building the on-disk hash index (layout in hash_section.h) for an index
// whose entries are already laid out, and reading the keys of an existing
// index to build one for a store that lacks it.
//
// The builder needs the keys and object offsets in index order; an entry's
// position follows from the lengths of the keys before it.  It writes the
// section in place into the caller's buffer and allocates nothing, so
// building costs no memory beyond the section itself (17.3 bytes per key for
// an index under 4 GiB) and whatever holds the entries.  While it fills the
// slots they hold entry numbers, which it turns into positions and record
// hints at the end; a key that repeats takes over its earlier slot, so the
// last entry wins.
//
// Not thread-safe per call; separate calls share nothing.
#ifndef VORLSTORE_CORE_HASH_SECTION_BUILDER_H_
#define VORLSTORE_CORE_HASH_SECTION_BUILDER_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/status.h"

namespace vorl {

// The entries of an index in index order: each one's key and object
// offset.  Entries may be asked for in any order; the views key() returns
// must stay valid while the build runs.
class IndexEntries {
 public:
  virtual ~IndexEntries() = default;
  virtual std::size_t size() const = 0;
  virtual std::string_view key(std::size_t i) const = 0;
  virtual std::uint64_t object_offset(std::size_t i) const = 0;
};

// What a section for a given index looks like: computed by PlanHashSection,
// consumed by WriteHashSection.
struct HashSectionPlan {
  std::uint64_t index_offset = 0;
  std::uint64_t index_length = 0;  // bytes of the entries
  std::uint32_t num_keys = 0;
  unsigned width = 0;                // bytes per position
  std::uint64_t capacity = 0;        // slots
  std::uint64_t padding = 0;         // zero bytes before the slots
  std::uint64_t section_length = 0;  // everything appended, trailer included
};

// The plan for `entries`, laid out from `index_offset` on, with
// positions at least `min_width` bytes wide (4 to 8; a builder that must fix
// the width before it knows the index length asks for more).  Fails (kind
// other) when the keys could not form an index: more than 4294967295 of
// them, a key over 65535 bytes, or an index_offset below the header size.
Result<HashSectionPlan> PlanHashSection(const IndexEntries& entries, std::uint64_t index_offset,
                                        unsigned min_width = 4);

// Writes the section planned for `entries` into `out`, which must hold exactly
// plan.section_length bytes; `seed` keys the section's hash (use
// NewSectionSeed() so that keys chosen at build time cannot aim at it).
// REQUIRES: plan came from PlanHashSection(entries, ...).
void WriteHashSection(const IndexEntries& entries, const HashSectionPlan& plan, std::uint64_t seed,
                      std::span<unsigned char> out);

// PlanHashSection and WriteHashSection appending to `out`, whose size must
// then be the end of the index (index_offset + index_length).
Status AppendHashSection(const IndexEntries& entries, std::uint64_t index_offset, std::uint64_t seed,
                         std::string& out);

// A seed no one outside this process can predict.
std::uint64_t NewSectionSeed();

// The seed of a section for a file whose bytes after the header, up to the
// end of its index entries, have the CRC-32 `crc` and end at `index_end`:
// the same content gets the same section, byte for byte.  Keys cannot be
// chosen to collide under a seed that they themselves decide.
std::uint64_t ContentSeed(std::uint32_t crc, std::uint64_t index_end);

// The entries of an index section in a mapped file, scanned once with the
// open path's bounds checks and messages.  Keys are views into the file;
// each entry costs 8 bytes here.
class ScannedIndex final : public IndexEntries {
 public:
  static Result<ScannedIndex> Scan(const unsigned char* file, std::uint64_t file_size,
                                   std::uint64_t index_offset, std::uint32_t num_keys);

  std::size_t size() const override { return positions_.size(); }
  std::string_view key(std::size_t i) const override;
  std::uint64_t object_offset(std::size_t i) const override;
  // Bytes from index_offset to the end of the last entry.
  std::uint64_t index_length() const { return index_length_; }

 private:
  ScannedIndex(const unsigned char* index, std::vector<std::uint64_t> positions, std::uint64_t index_length)
      : index_(index), positions_(std::move(positions)), index_length_(index_length) {}

  const unsigned char* index_;
  std::vector<std::uint64_t> positions_;  // relative to index_
  std::uint64_t index_length_;
};

}  // namespace vorl

#endif  // VORLSTORE_CORE_HASH_SECTION_BUILDER_H_
