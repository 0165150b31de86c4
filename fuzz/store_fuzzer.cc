// libFuzzer target: arbitrary bytes opened as a store file, with and without
// the whole-file check, then every query and Verify on whatever opens.
//
// Besides "no crash, no sanitizer report", the target checks what must hold
// for any input:
//   - opening fails only with a corrupt or unsupported-version error, and a
//     file under 40 bytes always fails with "file too small for header";
//   - the unchecked open fails only where the checked one fails too, and for
//     the same reason unless the checked open stopped at the checksum;
//   - lookups agree with the index (every listed key exists, GetRaw equals
//     ReadObject at the offset Find gives), listings have one element per
//     entry, prefix ranges stay inside the index;
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

namespace {

using vorl::ErrorKind;
using vorl::Reader;
using vorl::Status;

// The entries looked up one by one; listings still cover all of them.
constexpr std::size_t kMaxProbedEntries = 64;

using vorl::fuzz::Broken;
using vorl::fuzz::ExpectCorrupt;

const std::string& ScratchPath() {
  static const std::string path = vorl::fuzz::ScratchPathFor("fuzz");
  return path;
}

void Exercise(const Reader& r, const std::uint8_t* data, std::size_t size) {
  const std::size_t n = r.num_entries();
  if (n != r.num_keys()) Broken("entry count differs from num_keys");
  if (r.file_size() != size) Broken("file_size differs from the input size");
  if (r.Stats().num_keys != r.num_keys()) Broken("Stats().num_keys");

  const Status verified = r.Verify();
  ExpectCorrupt(verified, "Verify");

  const std::vector<std::string> keys = r.Keys();
  if (keys.size() != n) Broken("Keys() size");
  for (std::size_t i = 0; i < std::min(n, kMaxProbedEntries); ++i) {
    const std::string_view key = r.key_at(i);
    if (keys[i] != vorl::KeyToText(key)) Broken("Keys() element differs from KeyToText");
    const std::optional<std::uint64_t> offset = r.Find(key);
    if (!offset || !r.Exists(key)) Broken("a listed key is not found");
    const auto got = r.GetRaw(key);
    const auto read = r.ReadObject(*offset);
    ExpectCorrupt(got.status(), "GetRaw");
    ExpectCorrupt(read.status(), "ReadObject");
    if (got.ok() != read.ok()) Broken("GetRaw and ReadObject disagree");
    if (got.ok() && (!got.value() || *got.value() != read.value())) Broken("GetRaw payload differs");
    if (verified.ok() && !r.ReadObject(r.offset_at(i)).ok()) Broken("verified store has an unreadable object");
    const auto [first, end] = r.PrefixRange(key);
    if (first > end || end > n) Broken("PrefixRange outside the index");
    const auto prefixed = r.PrefixRaw(key);
    ExpectCorrupt(prefixed.status(), "PrefixRaw");
    if (prefixed.ok() && prefixed.value().size() != end - first) Broken("PrefixRaw size");
  }

  const auto items = r.ItemsRaw();
  ExpectCorrupt(items.status(), "ItemsRaw");
  if (items.ok() && items.value().size() != n) Broken("ItemsRaw size");
  const auto objects = r.ObjectsRaw();
  ExpectCorrupt(objects.status(), "ObjectsRaw");
  if (objects.ok() && objects.value().size() > n) Broken("ObjectsRaw has more objects than entries");
  if (verified.ok() && (!items.ok() || !objects.ok())) Broken("verified store fails a listing");
  const auto all = r.PrefixRaw("");
  ExpectCorrupt(all.status(), "PrefixRaw(\"\")");

  // Keys that are probably absent, and reads at hostile offsets.
  const std::string_view tail(reinterpret_cast<const char*>(data) + size / 2, size - size / 2);
  if (const auto absent = r.GetRaw(tail); absent.ok() && absent.value() && !r.Exists(tail)) {
    Broken("GetRaw found a key Exists denies");
  }
  std::uint64_t probes[] = {0,        40,       size,           size >= 8 ? size - 8 : 0, UINT64_MAX,
                            UINT64_MAX - 7, UINT64_MAX - 8, 0};
  if (size >= 8) probes[7] = vorl::LoadBE64(data + size - 8);
  for (std::uint64_t offset : probes) ExpectCorrupt(r.ReadObject(offset).status(), "ReadObject probe");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorl::fuzz::WriteScratch(ScratchPath(), data, size);
  const auto checked = Reader::Open(ScratchPath(), true);
  const auto unchecked = Reader::Open(ScratchPath(), false);
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
    if (!s.ok() && s.message().starts_with("file CRC32 mismatch")) Broken("Verify rejects the checksum Open accepted");
    Exercise(*checked.value(), data, size);
  }
  if (unchecked.ok()) Exercise(*unchecked.value(), data, size);
  return 0;
}
