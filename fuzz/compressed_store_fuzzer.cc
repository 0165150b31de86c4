// libFuzzer target: arbitrary bytes opened as a store file without the
// whole-file check, then every object the index refers to expanded through
// the store's dictionary, as the package's reader does.
//
// Besides "no crash, no sanitizer report", what must hold for any input:
// opening and every expansion fail only with a corrupt error (never another
// kind, never an exception), and an expanded record is exactly as long as
// its frame says.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/indexed_reader.h"
#include "engine/compression.h"

namespace {

using vorl::ErrorKind;
using vorl::Status;

constexpr std::size_t kMaxEntries = 4096;

[[noreturn]] void Broken(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "invariant broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

void ExpectCorrupt(const Status& s, const char* what) {
  if (!s.ok() && s.kind() != ErrorKind::kCorrupt) Broken(what, s.ToString());
}

const std::string& ScratchPath() {
  static const std::string path = [] {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/vorl-zfuzz-" + std::to_string(::getpid()) + ".vrls";
  }();
  return path;
}

void WriteScratch(const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(ScratchPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Broken("cannot create the scratch file");
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) Broken("cannot write the scratch file");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  WriteScratch(data, size);
  auto opened = vorl::IndexedReader::Open(ScratchPath(), false);
  ::unlink(ScratchPath().c_str());
  if (!opened.ok()) {
    ExpectCorrupt(opened.status(), "Open");
    return 0;
  }
  const vorl::IndexedReader& reader = *opened.value();
  if (reader.dictionary().empty()) return 0;
  auto expander = vorl::engine::RecordExpander::Create(reader.dictionary());
  if (!expander.ok()) {
    ExpectCorrupt(expander.status(), "RecordExpander::Create");
    return 0;
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
    auto size = expander.value()->DecodedSize(payload.value());
    auto expanded = expander.value()->Expand(payload.value(), scratch);
    ExpectCorrupt(expanded.status(), "Expand");
    if (expanded.ok() && size.ok() && size.value() && expanded.value().size() != *size.value()) {
      Broken("expanded size differs from the frame's");
    }
  }
  return 0;
}
