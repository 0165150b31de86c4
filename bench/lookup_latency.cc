// Lookup latency on an existing store file: nanoseconds per FindObject (and
// a copy of the object, as get_raw makes) through the file's hash index and
// through the in-memory index of the same file, keys in random order, hits
// and misses.  A plain program for profiling the two ways side by side
// (e.g. under perf record); the store is not changed.  Times are the
// thread's CPU time, so that other jobs on a shared machine move them less.
//
//   vorl_lookup_latency PATH [probes] [passes] [section|memory|both]
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/reader.h"

namespace {

double ThreadNanos() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

template <typename Store>
double NanosPerLookup(const Store& store, const std::vector<std::string>& keys, bool hit) {
  std::string copy;
  std::size_t found = 0;
  const double start = ThreadNanos();
  for (const std::string& key : keys) {
    auto object = store.FindObject(key);
    if (object.ok() && object.value()) {
      copy.assign(*object.value());
      ++found;
    }
  }
  const double ns = ThreadNanos() - start;
  if (found != (hit ? keys.size() : 0)) {
    std::fprintf(stderr, "unexpected lookup results: %zu found of %zu\n", found, keys.size());
    std::exit(1);
  }
  return ns / static_cast<double>(keys.size());
}

template <typename Store>
void Report(const char* name, const Store& store, const std::vector<std::string>& hits,
            const std::vector<std::string>& misses, int passes) {
  NanosPerLookup(store, hits, true);  // warm-up: the pages the passes read are cached
  std::vector<double> hit_ns, miss_ns;
  for (int p = 0; p < passes; ++p) {
    hit_ns.push_back(NanosPerLookup(store, hits, true));
    miss_ns.push_back(NanosPerLookup(store, misses, false));
  }
  std::sort(hit_ns.begin(), hit_ns.end());
  std::sort(miss_ns.begin(), miss_ns.end());
  std::printf("%-8s hit %7.1f ns  miss %7.1f ns  (median of %d passes of %zu keys)\n", name,
              hit_ns[hit_ns.size() / 2], miss_ns[miss_ns.size() / 2], passes, hits.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PATH [probes] [passes] [section|memory|both]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const std::size_t probes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000;
  const int passes = argc > 3 ? std::atoi(argv[3]) : 5;
  const std::string which = argc > 4 ? argv[4] : "both";

  auto indexed = vorl::Reader::Open(path, false);
  if (!indexed.ok() || !indexed.value()->has_hash_index()) {
    std::fprintf(stderr, "%s: no usable hash index: %s\n", path.c_str(), indexed.status().ToString().c_str());
    return 1;
  }
  const vorl::Reader& section = *indexed.value();
  const std::size_t n = section.num_entries();
  std::mt19937_64 rng(7);
  std::vector<std::string> hits, misses;
  for (std::size_t i = 0; i < probes && n > 0; ++i) {
    std::string key(section.Entry(rng() % n).value().key);
    misses.push_back(key + "~");  // sorts next to a present key, is never one
    hits.push_back(std::move(key));
  }
  if (which != "memory") Report("section", section, hits, misses, passes);
  if (which != "section") {
    auto memory = vorl::Reader::Open(path, false, vorl::IndexUse::kInMemory);
    if (!memory.ok()) {
      std::fprintf(stderr, "%s\n", memory.status().ToString().c_str());
      return 1;
    }
    Report("memory", *memory.value(), hits, misses, passes);
  }
  return 0;
}
