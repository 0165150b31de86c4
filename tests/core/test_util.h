// Helpers shared by the core tests: temporary directories, whole-file reads,
// hex literals, capturing what a call writes to descriptor 1, and building
// or patching store files.
#ifndef VORLSTORE_TESTS_CORE_TEST_UTIL_H_
#define VORLSTORE_TESTS_CORE_TEST_UTIL_H_

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/coding.h"
#include "core/crc32.h"
#include "core/writer.h"

namespace vorl::testing_util {

class TempDir {
 public:
  // In `base` when given and present (e.g. /dev/shm for large files),
  // otherwise in the system's temporary directory.
  explicit TempDir(const char* base = nullptr) {
    const std::filesystem::path where = base != nullptr && std::filesystem::is_directory(base)
                                            ? base
                                            : std::filesystem::temp_directory_path();
    std::string pattern = (where / "vorl-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

// Bytes from hex digits; blanks are ignored.
inline std::string Hex(const std::string& hex) {
  std::string out, digits;
  for (char c : hex)
    if (c != ' ') digits += c;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  }
  return out;
}

inline std::string HexOf32(std::uint32_t v) {
  char b[9];
  std::snprintf(b, sizeof b, "%08X", v);
  return b;
}

// Sorted names in a directory, space-separated.
inline std::string ListDir(const std::string& path) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(path)) names.insert(e.path().filename().string());
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

// Runs fn() with descriptor 1 redirected to a temporary file and stores what
// was written there in *out.
template <typename Fn>
auto CaptureStdout(Fn fn, std::string* out) {
  std::fflush(stdout);
  char name[] = "/tmp/vorl-stdout-XXXXXX";
  const int fd = ::mkstemp(name);
  const int saved = ::dup(1);
  ::dup2(fd, 1);
  auto result = fn();
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(fd);
  *out = ReadFile(name);
  ::unlink(name);
  return result;
}

// Builds `w` at `path`, dropping the summary line.
inline Status BuildQuietly(const Writer& w, const std::string& path) {
  std::string out;
  return CaptureStdout([&] { return w.Build(path).status(); }, &out);
}

// Big-endian patches of a file image at `pos`.
inline void PutBE32(std::string& file, std::size_t pos, std::uint32_t v) {
  StoreBE32(reinterpret_cast<unsigned char*>(file.data() + pos), v);
}
inline void PutBE64(std::string& file, std::size_t pos, std::uint64_t v) {
  StoreBE64(reinterpret_cast<unsigned char*>(file.data() + pos), v);
}

// Rewrites the header's file_crc32 to match the bytes after the header.
inline void RefreshFileCrc(std::string& file) {
  PutBE32(file, 32, crc32::Value(file.data() + 40, file.size() - 40));
}

// A store image laid out by hand, for files the writer never produces
// (duplicate or unsorted keys, stray offsets, trailing bytes): one record per
// payload from offset 40 on, then the entries exactly as given, then
// `trailer`; header counts, index_offset and file_crc32 are consistent.
struct RawEntry {
  std::string key;
  std::uint64_t offset;
};

inline std::uint64_t RecordOffset(const std::vector<std::string>& payloads, std::size_t id) {
  std::uint64_t offset = 40;
  for (std::size_t i = 0; i < id; ++i) offset += 8 + payloads[i].size();
  return offset;
}

inline std::string AssembleStore(const std::vector<std::string>& payloads,
                                 const std::vector<RawEntry>& entries, const std::string& trailer = "") {
  std::string file = Hex("56524C53 02000000") + std::string(32, '\0');
  for (const std::string& p : payloads) {
    AppendBE32(file, static_cast<std::uint32_t>(p.size()));
    AppendBE32(file, crc32::Value(p.data(), p.size()));
    file += p;
  }
  PutBE32(file, 8, static_cast<std::uint32_t>(entries.size()));
  PutBE32(file, 12, static_cast<std::uint32_t>(payloads.size()));
  PutBE64(file, 16, file.size());
  PutBE64(file, 24, 40);
  for (const RawEntry& e : entries) {
    AppendBE16(file, static_cast<std::uint16_t>(e.key.size()));
    file += e.key;
    AppendBE64(file, e.offset);
  }
  file += trailer;
  RefreshFileCrc(file);
  return file;
}

}  // namespace vorl::testing_util

#endif  // VORLSTORE_TESTS_CORE_TEST_UTIL_H_
