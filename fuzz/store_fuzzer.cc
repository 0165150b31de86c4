// libFuzzer target: arbitrary bytes opened as a store file, with and without
// the whole-file check, then every query and Verify on whatever opens.
//
// Besides "no crash, no sanitizer report", the target checks what must hold
// for any input:
//   - opening fails only with a corrupt or unsupported-version error, and a
//     file under 40 bytes always fails with "file too small for header";
//   - the unchecked open fails only where the checked one fails too, and for
//     the same reason unless the checked open stopped at the checksum;
//   - lookups agree with the index (every listed key exists, FindObject
//     equals ObjectView at the offset Find gives), walks have one element
//     per entry, prefix ranges stay inside the index;
//   - when Verify passes, every object the index refers to can be read;
//   - every failed read is a corrupt error, at any offset up to 2^64 - 1.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/coding.h"
#include "core/reader.h"
#include "fuzz_support.h"

namespace vorl::fuzz {
namespace {

// The entries looked up one by one; listings still cover all of them.
constexpr std::size_t kMaxProbedEntries = 64;

void Exercise(const Reader& r, const std::uint8_t* data, std::size_t size) {
  const std::size_t n = r.num_entries();
  if (n != r.num_keys()) Broken("entry count differs from num_keys");
  if (r.file_size() != size) Broken("file_size differs from the input size");
  if (r.Stats().num_keys != r.num_keys()) Broken("Stats().num_keys");

  const Status verified = r.Verify();
  ExpectCorrupt(verified, "Verify");

  std::size_t listed = 0;
  if (!r.VisitKeys(0, n, [&](std::size_t, std::string_view) { ++listed; }).ok() || listed != n) {
    Broken("VisitKeys misses entries of the in-memory index");
  }
  for (std::size_t i = 0; i < std::min(n, kMaxProbedEntries); ++i) {
    const auto entry = r.Entry(i);
    if (!entry.ok()) Broken("Entry fails on the in-memory index");
    const std::string_view key = entry.value().key;
    const auto offset = r.Find(key);
    if (!offset.ok() || !offset.value()) Broken("a listed key is not found");
    const auto got = r.FindObject(key);
    const auto read = r.ObjectView(*offset.value());
    ExpectCorrupt(got.status(), "FindObject");
    ExpectCorrupt(read.status(), "ObjectView");
    if (got.ok() != read.ok()) Broken("FindObject and ObjectView disagree");
    if (got.ok() && (!got.value() || *got.value() != read.value())) Broken("FindObject payload differs");
    if (verified.ok() && !r.ObjectView(entry.value().object_offset).ok()) {
      Broken("verified store has an unreadable object");
    }
    const auto range = r.PrefixRange(key);
    if (!range.ok() || range.value().first > range.value().second || range.value().second > n) {
      Broken("PrefixRange outside the index");
    }
    std::size_t in_range = 0;
    const Status walked =
        r.VisitEntries(range.value().first, range.value().second,
                       [&](std::size_t, std::string_view, std::string_view) { ++in_range; });
    ExpectCorrupt(walked, "VisitEntries");
    if (walked.ok() && in_range != range.value().second - range.value().first) Broken("VisitEntries count");
  }

  std::size_t entries = 0;
  const Status all =
      r.VisitEntries(0, n, [&](std::size_t, std::string_view, std::string_view) { ++entries; });
  ExpectCorrupt(all, "VisitEntries");
  if (all.ok() && entries != n) Broken("VisitEntries size");
  std::size_t objects = 0;
  const Status unique = r.VisitUniqueObjects([&](std::string_view) { ++objects; });
  ExpectCorrupt(unique, "VisitUniqueObjects");
  if (unique.ok() && objects > n) Broken("VisitUniqueObjects has more objects than entries");
  if (verified.ok() && (!all.ok() || !unique.ok())) Broken("verified store fails a listing");

  // Keys that are probably absent, and reads at hostile offsets.
  const std::string_view tail(reinterpret_cast<const char*>(data) + size / 2, size - size / 2);
  const auto absent = r.FindObject(tail);
  ExpectCorrupt(absent.status(), "FindObject probe");
  if (absent.ok() && absent.value() && !r.Find(tail).value()) Broken("FindObject found a key Find denies");
  std::uint64_t probes[] = {0, 40, size, size >= 8 ? size - 8 : 0, UINT64_MAX, UINT64_MAX - 7, UINT64_MAX - 8,
                            0};
  if (size >= 8) probes[7] = LoadBE64(data + size - 8);
  for (std::uint64_t offset : probes) ExpectCorrupt(r.ObjectView(offset).status(), "ObjectView probe");
}

void FuzzStore(const std::uint8_t* data, std::size_t size) {
  WriteScratch(ScratchPath(), data, size);
  const auto checked = Reader::Open(ScratchPath(), true, IndexUse::kInMemory);
  const auto unchecked = Reader::Open(ScratchPath(), false, IndexUse::kInMemory);
  for (const Status* s : {&checked.status(), &unchecked.status()}) {
    if (!s->ok() && s->kind() != ErrorKind::kCorrupt && s->kind() != ErrorKind::kVersion) {
      Broken("open failed with the wrong kind", s->ToString());
    }
  }
  if (size < 40 && checked.status().message() != "file too small for header") {
    Broken("short file", checked.status().ToString());
  }
  if (!unchecked.ok()) {
    if (checked.ok()) Broken("only the checked open succeeded");
    const bool crc_failed = checked.status().message().starts_with("file CRC32 mismatch");
    if (!crc_failed && checked.status().ToString() != unchecked.status().ToString()) {
      Broken("opens disagree", checked.status().ToString() + " vs " + unchecked.status().ToString());
    }
  }
  if (checked.ok()) {
    const Status s = checked.value()->Verify();
    if (!s.ok() && s.message().starts_with("file CRC32 mismatch"))
      Broken("Verify rejects the checksum Open accepted");
    Exercise(*checked.value(), data, size);
  }
  if (unchecked.ok()) Exercise(*unchecked.value(), data, size);
}

}  // namespace
}  // namespace vorl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorl::fuzz::FuzzStore(data, size);
  return 0;
}
