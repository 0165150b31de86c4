// What the fuzz targets share: the report of a broken invariant, the check
// that a failure is a corrupt error, and the per-process scratch file an
// input is written to before a reader opens it.
#ifndef VORLSTORE_FUZZ_FUZZ_SUPPORT_H_
#define VORLSTORE_FUZZ_FUZZ_SUPPORT_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/status.h"

namespace vorl::fuzz {

[[noreturn]] inline void Broken(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "invariant broken: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

inline void ExpectCorrupt(const Status& s, const char* what) {
  if (!s.ok() && s.kind() != ErrorKind::kCorrupt) Broken(what, s.ToString());
}

// The scratch file of this process: one per process, since parallel jobs
// run in separate processes, in memory when /dev/shm is there.
inline const std::string& ScratchPath() {
  static const std::string path = [] {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/vorl-fuzz-" + std::to_string(::getpid()) + ".vrls";
  }();
  return path;
}

inline void WriteScratch(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Broken("cannot create the scratch file");
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) Broken("cannot write the scratch file");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

}  // namespace vorl::fuzz

#endif  // VORLSTORE_FUZZ_FUZZ_SUPPORT_H_
