// One field of /proc/self/status in bytes, for the memory figures the
// benchmark programs print.
#ifndef VORL_BENCH_PROC_STATUS_H_
#define VORL_BENCH_PROC_STATUS_H_

#include <cstdint>
#include <fstream>
#include <string>

namespace vorl::bench {

// field is "VmRSS:", "VmHWM:" and the like; 0 when the kernel has no such line.
inline std::int64_t ProcStatusBytes(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string word;
  while (in >> word) {
    if (word == field) {
      std::int64_t kib = 0;
      in >> kib;
      return kib * 1024;
    }
  }
  return 0;
}

}  // namespace vorl::bench

#endif  // VORL_BENCH_PROC_STATUS_H_
