// Helpers shared by the core tests: temporary directories, whole-file reads,
// hex literals and capturing what a call writes to descriptor 1.
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

namespace vorl::testing_util {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorl-test-XXXXXX").string();
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

}  // namespace vorl::testing_util

#endif  // VORLSTORE_TESTS_CORE_TEST_UTIL_H_
