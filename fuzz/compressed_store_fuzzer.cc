// libFuzzer target: arbitrary bytes opened as a store file without the
// whole-file check, then every object the index refers to expanded through
// the store's dictionary, as the package's reader does, but without the
// record CRC check in front, so that damaged frames reach the decoder.
//
// Besides "no crash, no sanitizer report", what must hold for any input:
// opening and every expansion fail only with a corrupt error (never another
// kind, never an exception), and an expanded record is exactly as long as
// its frame says.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "core/reader.h"
#include "engine/compression.h"
#include "fuzz_support.h"

namespace vorl::fuzz {
namespace {

constexpr std::size_t kMaxEntries = 4096;

void FuzzCompressedStore(const std::uint8_t* data, std::size_t size) {
  WriteScratch(ScratchPath(), data, size);
  auto opened = Reader::Open(ScratchPath(), false);
  ::unlink(ScratchPath().c_str());
  if (!opened.ok()) {
    // A version byte this reader does not know is its own, legitimate answer.
    if (opened.status().kind() != ErrorKind::kVersion) ExpectCorrupt(opened.status(), "Open");
    return;
  }
  const Reader& reader = *opened.value();
  if (reader.dictionary().empty()) return;
  auto expander = engine::RecordExpander::Create(reader.dictionary());
  if (!expander.ok()) {
    ExpectCorrupt(expander.status(), "RecordExpander::Create");
    return;
  }
  std::string scratch;
  for (std::size_t i = 0; i < reader.num_entries() && i < kMaxEntries; ++i) {
    auto entry = reader.Entry(i);
    if (!entry.ok()) {
      ExpectCorrupt(entry.status(), "Entry");
      continue;
    }
    auto payload = reader.ObjectView(entry.value().object_offset);
    if (!payload.ok()) {
      ExpectCorrupt(payload.status(), "ObjectView");
      continue;
    }
    auto frame = engine::RecordExpander::Inspect(payload.value());
    auto expanded = expander.value()->Expand(payload.value(), scratch);
    ExpectCorrupt(expanded.status(), "Expand");
    if (expanded.ok() && frame.ok() && frame.value() && expanded.value().size() != frame.value()->size) {
      Broken("expanded size differs from the frame's");
    }
  }
}

}  // namespace
}  // namespace vorl::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vorl::fuzz::FuzzCompressedStore(data, size);
  return 0;
}
