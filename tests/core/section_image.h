// Helpers of the hash index tests: adding a section to a store image, and
// checking an Reader against the in-memory index of Reader.
#ifndef VORLSTORE_TESTS_CORE_SECTION_IMAGE_H_
#define VORLSTORE_TESTS_CORE_SECTION_IMAGE_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/coding.h"
#include "core/hash_section.h"
#include "core/hash_section_builder.h"
#include "core/reader.h"
#include "test_util.h"

namespace vorl::testing_util {

inline const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// `image` with whatever follows its index replaced by a hash index section,
// and file_crc32 refreshed.
inline std::string WithSection(const std::string& image, std::uint64_t seed = 7, unsigned min_width = 4) {
  const std::uint64_t index_offset = LoadBE64(Bytes(image) + 16);
  Result<ScannedIndex> scanned =
      ScannedIndex::Scan(Bytes(image), image.size(), index_offset, LoadBE32(Bytes(image) + 8));
  EXPECT_TRUE(scanned.ok()) << scanned.status().ToString();
  Result<HashSectionPlan> plan = PlanHashSection(scanned.value(), index_offset, min_width);
  EXPECT_TRUE(plan.ok()) << plan.status().ToString();
  std::string out = image.substr(0, index_offset + scanned.value().index_length());
  out.resize(out.size() + plan.value().section_length);
  WriteHashSection(
      scanned.value(), plan.value(), seed,
      std::span(reinterpret_cast<unsigned char*>(out.data()) + out.size() - plan.value().section_length,
                plan.value().section_length));
  RefreshFileCrc(out);
  return out;
}

// Where the trailer of a section image starts.
inline std::size_t TrailerPos(const std::string& image) { return image.size() - hash_section::kTrailerSize; }
inline std::uint64_t SectionOffset(const std::string& image) {
  return LoadBE64(Bytes(image) + TrailerPos(image) + hash_section::kSectionOffsetPos);
}
// The slot and order tables of a section image with 4-byte positions (the
// builder's default), for tests that rewrite them in place.  The pointers
// stay valid while `image` keeps its size.
struct SectionTables {
  std::uint64_t capacity;
  unsigned char* slots;
  unsigned char* order;
};
inline SectionTables TablesOf(std::string& image) {
  const std::uint64_t capacity = LoadBE64(Bytes(image) + TrailerPos(image) + hash_section::kCapacityPos);
  const std::uint64_t section = SectionOffset(image);
  auto* slots = reinterpret_cast<unsigned char*>(image.data()) + section + hash_section::PaddingFor(section);
  return {capacity, slots, slots + capacity * hash_section::SlotSize(4)};
}
// Recomputes the trailer's own CRC after a change to it.
inline void ResealTrailer(std::string& image) {
  const std::size_t t = TrailerPos(image);
  PutBE32(image, t + hash_section::kTrailerCrcPos,
          crc32::Value(image.data() + t, hash_section::kTrailerCrcPos));
}

// Keys worth asking for: every entry's key, its prefixes, and keys next to
// it that are absent.
inline std::vector<std::string> ProbeKeys(const Reader& reader) {
  std::vector<std::string> probes = {"", std::string(1, '\0'), "\xff\xff", "absent"};
  for (std::size_t i = 0; i < reader.num_entries(); ++i) {
    const std::string key(reader.Entry(i).value().key);
    probes.push_back(key);
    probes.push_back(key + '\0');
    probes.push_back(key.substr(0, key.size() / 2));
    if (!key.empty()) probes.push_back(key.substr(0, key.size() - 1) + static_cast<char>(key.back() + 1));
  }
  return probes;
}

// Every answer of `indexed` equals what the in-memory index gives.
inline void ExpectSameAnswers(const Reader& indexed, const Reader& reader) {
  ASSERT_EQ(indexed.num_entries(), reader.num_entries());
  for (std::size_t i = 0; i < reader.num_entries(); ++i) {
    Result<EntryView> entry = indexed.Entry(i);
    ASSERT_TRUE(entry.ok()) << entry.status().ToString();
    ASSERT_EQ(entry.value(), reader.Entry(i).value()) << "entry " << i;
  }
  EXPECT_FALSE(indexed.Entry(reader.num_entries()).ok());
  for (const std::string& key : ProbeKeys(reader)) {
    Result<std::optional<std::uint64_t>> found = indexed.Find(key);
    ASSERT_TRUE(found.ok()) << found.status().ToString();
    ASSERT_EQ(found.value(), reader.Find(key).value()) << "key of " << key.size() << " bytes";
    const auto range = reader.PrefixRange(key).value();
    Result<std::pair<std::size_t, std::size_t>> got = indexed.PrefixRange(key);
    ASSERT_TRUE(got.ok()) << got.status().ToString();
    ASSERT_EQ(got.value(), range) << "prefix of " << key.size() << " bytes";
    Result<std::size_t> lower = indexed.LowerBound(key);
    ASSERT_TRUE(lower.ok());
    ASSERT_EQ(lower.value(), range.first);
  }
  EXPECT_EQ(indexed.Stats().file_crc32, reader.Stats().file_crc32);
  EXPECT_EQ(indexed.Stats().index_offset, reader.Stats().index_offset);
  EXPECT_EQ(indexed.Stats().file_size, reader.Stats().file_size);
}

}  // namespace vorl::testing_util

#endif  // VORLSTORE_TESTS_CORE_SECTION_IMAGE_H_
