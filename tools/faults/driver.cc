// Builds a store from deterministic data with vorl::Writer, for the fault
// injection and crash tests.
//
//   vorl_fault_driver SHAPE TARGET [BUILDS]
//
// SHAPE picks the data (see MakeWriter); "crash" data embeds a generation
// number, and with BUILDS > 1 the driver republishes TARGET that many times,
// generation 0, 1, 2, ...  Each build runs with the fault library armed when
// it is preloaded.  After each build the driver reports on stderr
//   status: OK            or   status: KIND: MESSAGE
// and checks /proc/self/fd for descriptors the build left open
// ("leaked fd: N -> TARGET").  Exit status: 0 when every build succeeded,
// 1 after a failed build, 3 when a descriptor leaked, 2 on bad usage.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "core/status.h"
#include "core/writer.h"

namespace {

using vorl::Status;
using vorl::Writer;

// Deterministic filler: xorshift bytes from a seed, so every run of the same
// shape and generation writes the same file.
std::string Filler(std::uint64_t seed, std::size_t size) {
  std::string out(size, '\0');
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x >> 32);
  }
  return out;
}

std::string Numbered(const char* pattern, unsigned long n) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, n);
  return text;
}

bool Must(const Status& s) {
  if (s.ok()) return true;
  std::fprintf(stderr, "setup failed: %s\n", s.ToString().c_str());
  return false;
}

// Adds `objects` filler objects of `size` bytes and `keys` keys spread over
// them.
bool Fill(Writer& w, std::uint64_t seed, unsigned objects, std::size_t size, unsigned keys,
          const char* key_pattern) {
  for (unsigned i = 0; i < objects; ++i) {
    if (!w.AddObject(Filler(seed * 1000003 + i, size)).ok()) return false;
  }
  for (unsigned k = 0; k < keys; ++k) {
    if (!Must(w.AddKey(Numbered(key_pattern, k), k % objects))) return false;
  }
  return true;
}

// The shapes differ in how the 8 KiB write buffer splits the file:
//   empty   header only, one buffered write of 40 bytes
//   small   the 73-byte two-key example, one buffered write
//   edge    object section of 8160 bytes: the header is written out alone,
//           the section goes into the emptied buffer
//   medium  object section over 8 KiB (written directly), small index
//   large   object section and index both over 8 KiB
//   crash   about 3 MB whose first object names the generation
bool MakeWriter(const std::string& shape, unsigned long generation, Writer& w) {
  if (shape == "empty") return true;
  if (shape == "small") {
    return w.AddObject(std::string("\x92\x01\x02", 3)).ok() && Must(w.AddKey("a", 0)) &&
           Must(w.AddKey("b", 0));
  }
  if (shape == "edge") return Fill(w, 1, 1, 8152, 1, "k%lu");
  if (shape == "medium") return Fill(w, 2, 20, 1000, 20, "key-%03lu");
  if (shape == "large") return Fill(w, 3, 64, 700, 1200, "key-%05lu-of-the-large-shape");
  if (shape == "crash") {
    if (!w.AddObject(Numbered("generation %lu", generation)).ok()) return false;
    if (!Must(w.AddKey("generation", 0))) return false;
    return Fill(w, generation + 7, 700, 4096 + generation % 97, 900, "crash/%06lu");
  }
  std::fprintf(stderr, "unknown shape %s\n", shape.c_str());
  return false;
}

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return fds;
  const int own = ::dirfd(dir);
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    if (fd != own) fds.insert(fd);
  }
  ::closedir(dir);
  return fds;
}

std::string LinkTarget(int fd) {
  char link[PATH_MAX + 1];
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(proc.c_str(), link, PATH_MAX);
  return n < 0 ? "?" : std::string(link, static_cast<std::size_t>(n));
}

using ArmFn = void (*)(int);

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s SHAPE TARGET [BUILDS]\n", argv[0]);
    return 2;
  }
  const std::string shape = argv[1];
  const std::string target = argv[2];
  const unsigned long builds = argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 1;
  // Present only when the fault library is preloaded.
  auto arm = reinterpret_cast<ArmFn>(::dlsym(RTLD_DEFAULT, "vorl_faults_arm"));

  for (unsigned long generation = 0; generation < builds; ++generation) {
    Writer w;
    if (!MakeWriter(shape, generation, w)) return 2;
    const std::set<int> before = OpenDescriptors();
    if (arm != nullptr) arm(1);
    const Status s = w.Build(target).status();
    if (arm != nullptr) arm(0);
    int leaked = 0;
    for (int fd : OpenDescriptors()) {
      if (before.count(fd) == 0) {
        std::fprintf(stderr, "leaked fd: %d -> %s\n", fd, LinkTarget(fd).c_str());
        ++leaked;
      }
    }
    if (s.ok()) {
      std::fprintf(stderr, "status: OK\n");
    } else {
      std::fprintf(stderr, "status: %s\n", s.ToString().c_str());
    }
    if (leaked != 0) return 3;
    if (!s.ok()) return 1;
  }
  return 0;
}
