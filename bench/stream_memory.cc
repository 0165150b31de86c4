// Builds a store of N keys shaped like data set A ("user:%08d" keys in a
// scattered order, 80-120 byte objects) through StreamBuilder and prints the
// process's peak resident memory per key next to the goal of 64 B/key +
// 64 MiB.  Not a test: run it by hand at the sizes of interest.
//
//   vorl_stream_memory N [object_bytes] [path]
//
// object_bytes fixes the object size instead (e.g. 1024 for 1 KiB objects);
// the store goes to path, default $VORL_BENCH_DIR (or /tmp)/vorl-stream.vrls,
// and is removed afterwards.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "core/stream_builder.h"
#include "proc_status.h"

namespace {

// A permutation of [0, n): i * step mod n with step coprime to n, so keys
// arrive out of order without a shuffled array in memory.
std::uint64_t CoprimeStep(std::uint64_t n) {
  auto gcd = [](std::uint64_t a, std::uint64_t b) {
    while (b != 0) a = std::exchange(b, a % b);
    return a;
  };
  std::uint64_t step = 2654435761u % (n == 0 ? 1 : n);
  while (n > 1 && gcd(step, n) != 1) ++step;
  return step == 0 ? 1 : step;
}

int Fail(const vorl::Status& s) {
  std::fprintf(stderr, "failed: %s\n", s.ToString().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s N [object_bytes] [path]\n", argv[0]);
    return 2;
  }
  const std::uint64_t n = std::strtoull(argv[1], nullptr, 10);
  const std::uint64_t fixed_size = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 0;
  const char* dir = std::getenv("VORL_BENCH_DIR");
  const std::string path =
      argc > 3 ? argv[3] : std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/vorl-stream.vrls";

  const std::int64_t base_rss = vorl::bench::ProcStatusBytes("VmRSS:");
  const auto start = std::chrono::steady_clock::now();
  auto builder = vorl::StreamBuilder::Create(path);
  if (!builder.ok()) return Fail(builder.status());
  const std::uint64_t step = CoprimeStep(n);
  std::string blob(fixed_size != 0 ? fixed_size : 120, '\0');
  std::uint64_t rng = 0x9E3779B97F4A7C15u;
  char key[32];
  for (std::uint64_t i = 0; i < n; ++i) {
    rng ^= rng << 13, rng ^= rng >> 7, rng ^= rng << 17;
    const std::size_t size = fixed_size != 0 ? fixed_size : 80 + rng % 41;
    for (std::size_t b = 0; b < size; b += 8) std::memcpy(&blob[b], &rng, std::min<std::size_t>(8, size - b));
    auto id = builder.value()->AddObject(std::string_view(blob.data(), size));
    if (!id.ok()) return Fail(id.status());
    const int len =
        std::snprintf(key, sizeof key, "user:%08llu", static_cast<unsigned long long>(i * step % n));
    if (vorl::Status s = builder.value()->AddKey(std::string_view(key, len), id.value()); !s.ok())
      return Fail(s);
  }
  auto summary = builder.value()->Commit();
  if (!summary.ok()) return Fail(summary.status());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::int64_t peak = vorl::bench::ProcStatusBytes("VmHWM:");
  const double per_key = n == 0 ? 0 : static_cast<double>(peak - base_rss) / static_cast<double>(n);
  const double goal = 64.0 * static_cast<double>(n) + 64.0 * 1024 * 1024;
  std::printf("keys %llu  file %.1f MB  build %.1f s (%.2f M keys/s)\n", static_cast<unsigned long long>(n),
              static_cast<double>(summary.value().bytes) / 1e6, seconds,
              static_cast<double>(n) / seconds / 1e6);
  std::printf(
      "peak RSS %.1f MB (%.1f MB at start)  %.1f B/key over the start  goal %.1f MB (64 B/key + 64 MiB): "
      "%s\n",
      static_cast<double>(peak) / 1e6, static_cast<double>(base_rss) / 1e6, per_key, goal / 1e6,
      static_cast<double>(peak - base_rss) <= goal ? "met" : "missed");
  ::unlink(path.c_str());
  return 0;
}
