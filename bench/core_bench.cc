// Benchmarks of the store core: CRC-32 per backend (with memcpy and a plain
// sequential read as the machine's yardsticks), the writer on data set A
// (1,000,000 keys "user:%08d", each with its own 80-120 byte object, added
// in random order), and, when the reader is built, opening that store and
// looking keys up, through the in-memory index and through the on-disk hash
// index section side by side, one key at a time and in batches.
//
// Google Benchmark prints bytes_per_second in binary units: "G/s" is GiB/s.
// Data sets come from fixed seeds, so every run measures the same bytes.
// Store files go to $VORL_BENCH_DIR (default /tmp); builds include the fsync.
//
//   vorl_core_bench [--benchmark_filter=REGEX] [google-benchmark flags]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/crc32.h"
#include "core/crc32_internal.h"
#include "core/stream_builder.h"
#include "core/writer.h"
#include "proc_status.h"
#ifdef VORL_BENCH_READER
#include "core/coding.h"
#include "core/hash_section_builder.h"
#include "core/reader.h"
#endif

// --- Heap accounting: the C allocator's entry points are replaced by
// counting ones that forward to glibc's own, so every allocation of the
// process (operator new, realloc-grown buffers, the C library's) is seen and
// a benchmark can report the peak heap its subject used.  Sizes are the
// usable sizes of the blocks, so allocator rounding counts too.

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {
std::atomic<std::int64_t> g_heap_bytes{0};
std::atomic<std::int64_t> g_heap_peak{0};

void* Counted(void* p) {
  if (p == nullptr) return p;
  const auto size = static_cast<std::int64_t>(malloc_usable_size(p));
  const std::int64_t now = g_heap_bytes.fetch_add(size, std::memory_order_relaxed) + size;
  std::int64_t peak = g_heap_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_heap_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
  return p;
}

void Uncount(void* p) {
  if (p != nullptr) {
    g_heap_bytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  }
}
}  // namespace

extern "C" {
void* malloc(std::size_t size) { return Counted(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) { return Counted(__libc_calloc(count, size)); }
void* realloc(void* p, std::size_t size) {
  // The old block's size must be read before realloc frees or moves it.
  const auto old_size = p == nullptr ? 0 : static_cast<std::int64_t>(malloc_usable_size(p));
  void* q = __libc_realloc(p, size);
  if (q == nullptr && size != 0) return nullptr;  // the old block stays
  g_heap_bytes.fetch_sub(old_size, std::memory_order_relaxed);
  return Counted(q);
}
void free(void* p) {
  Uncount(p);
  __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t size) { return Counted(__libc_memalign(alignment, size)); }
void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  void* p = memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void* valloc(std::size_t size) { return memalign(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), size); }
}

namespace vorl {
namespace {

// Peak heap growth over a scope, in bytes.
class HeapPeak {
 public:
  HeapPeak() : base_(g_heap_bytes.load()) { g_heap_peak.store(base_); }
  std::int64_t bytes() const { return g_heap_peak.load() - base_; }

 private:
  std::int64_t base_;
};

// Peak resident-set growth over a scope, from /proc (resetting the
// high-water mark needs Linux 4.0).  Counts allocator overhead and
// fragmentation too, which the heap figure does not.
class RssPeak {
 public:
  RssPeak() {
    // Give freed memory back first, or the subject would reuse resident
    // pages and look smaller than it is.
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    base_ = bench::ProcStatusBytes("VmRSS:");
  }
  std::int64_t bytes() const { return bench::ProcStatusBytes("VmHWM:") - base_; }

 private:
  std::int64_t base_ = 0;
};

const std::string& BenchDir() {
  static const std::string dir = [] {
    const char* d = std::getenv("VORL_BENCH_DIR");
    return std::string(d != nullptr && *d != '\0' ? d : "/tmp");
  }();
  return dir;
}

// Runs fn with descriptor 1 pointed at /dev/null, so that a build's summary
// line does not interleave with the benchmark table.
template <typename Fn>
auto Quietly(Fn fn) {
  std::fflush(stdout);
  const int saved = ::dup(1);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null, 1);
  ::close(null);
  auto result = fn();
  ::dup2(saved, 1);
  ::close(saved);
  return result;
}

// --- CRC-32 and the yardsticks.

constexpr std::size_t kKiB = 1024, kMiB = 1024 * kKiB;

const unsigned char* RandomBuffer(std::size_t size) {
  static std::vector<unsigned char> buffer;
  if (buffer.size() < size) {
    buffer.resize(size);
    std::mt19937_64 rng(42);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
      const std::uint64_t v = rng();
      std::memcpy(&buffer[i], &v, 8);
    }
  }
  return buffer.data();
}

void SetBytes(benchmark::State& state, std::size_t size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(size));
}

void BM_Crc32(benchmark::State& state, crc32::ExtendFunction extend, std::size_t size) {
  const unsigned char* data = RandomBuffer(size);
  std::uint32_t crc = 0;
  for (auto _ : state) {
    crc = extend(crc, data, size);
    benchmark::DoNotOptimize(crc);
  }
  SetBytes(state, size);
}

void BM_Memcpy(benchmark::State& state, std::size_t size) {
  const unsigned char* src = RandomBuffer(size);
  std::vector<unsigned char> dst(size);
  for (auto _ : state) {
    std::memcpy(dst.data(), src, size);
    benchmark::ClobberMemory();
  }
  SetBytes(state, size);
}

// Reads every 64-bit word once; the compiler vectorises the sum.
void BM_SequentialRead(benchmark::State& state, std::size_t size) {
  const auto* words = reinterpret_cast<const std::uint64_t*>(RandomBuffer(size));
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < size / 8; ++i) sum += words[i];
    benchmark::DoNotOptimize(sum);
  }
  SetBytes(state, size);
}

// --- Data set A.

constexpr int kDataSetKeys = 1'000'000;

struct DataSet {
  std::vector<std::string> keys;   // "user:%08d", in insertion (random) order
  std::vector<std::string> blobs;  // blobs[i] belongs to keys[i]
  std::uint64_t blob_bytes = 0;
  std::uint64_t key_bytes = 0;
};

const DataSet& DataSetA() {
  static const DataSet data = [] {
    DataSet d;
    std::mt19937_64 rng(20240601);
    std::vector<int> order(kDataSetKeys);
    for (int i = 0; i < kDataSetKeys; ++i) order[i] = i;
    // Fisher-Yates with the raw generator, so the order does not depend on
    // the standard library's distributions.
    for (int i = kDataSetKeys - 1; i > 0; --i) std::swap(order[i], order[rng() % (i + 1)]);
    d.keys.reserve(kDataSetKeys);
    d.blobs.reserve(kDataSetKeys);
    char key[32];
    for (int n : order) {
      std::snprintf(key, sizeof key, "user:%08d", n);
      d.keys.emplace_back(key);
      std::string blob(80 + rng() % 41, '\0');
      for (std::size_t i = 0; i < blob.size(); i += 8) {
        const std::uint64_t v = rng();
        std::memcpy(&blob[i], &v, std::min<std::size_t>(8, blob.size() - i));
      }
      d.key_bytes += d.keys.back().size();
      d.blob_bytes += blob.size();
      d.blobs.push_back(std::move(blob));
    }
    return d;
  }();
  return data;
}

void FillWriter(Writer& w, const DataSet& d) {
  for (std::size_t i = 0; i < d.keys.size(); ++i) {
    auto id = w.AddObject(d.blobs[i]);
    if (!id.ok() || !w.AddKey(d.keys[i], id.value()).ok()) std::abort();
  }
}

std::string StorePath(const char* name) { return BenchDir() + "/vorl-bench-" + name + ".vrls"; }

void BuildOrDie(const Writer& w, const std::string& path) {
  Status s = Quietly([&] { return w.Build(path).status(); });
  if (!s.ok()) {
    std::fprintf(stderr, "build failed: %s\n", s.ToString().c_str());
    std::exit(1);
  }
}

// AddObject + AddKey for every key of data set A into a fresh writer.
void BM_WriterAdd(benchmark::State& state) {
  const DataSet& d = DataSetA();
  for (auto _ : state) {
    auto w = std::make_unique<Writer>();
    FillWriter(*w, d);
    benchmark::DoNotOptimize(w->num_keys());
    state.PauseTiming();  // freeing the writer is not part of adding
    w.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kDataSetKeys);
}

// Build() alone (assemble, write, fsync, rename) from a filled writer.
void BM_WriterBuild(benchmark::State& state) {
  const DataSet& d = DataSetA();
  Writer w;
  FillWriter(w, d);
  const std::string path = StorePath("build");
  for (auto _ : state) BuildOrDie(w, path);
  ::unlink(path.c_str());
  state.SetItemsProcessed(state.iterations() * kDataSetKeys);
}

struct Peaks {
  std::int64_t heap = 0;
  std::int64_t rss = 0;
};

// Runs `job` once per iteration, a whole build of data set A into `path`,
// and returns the peak heap and resident-set growth of the last run.  The
// job returns the owner of what it built, so that freeing it is left out of
// the timing but not of the peaks.
template <typename Job>
Peaks TimeWholeBuilds(benchmark::State& state, const std::string& path, Job job) {
  Peaks peaks;
  for (auto _ : state) {
    HeapPeak heap_peak;
    RssPeak rss_peak;
    {
      auto built = job();
      peaks.heap = heap_peak.bytes();
      peaks.rss = rss_peak.bytes();
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  ::unlink(path.c_str());
  state.SetItemsProcessed(state.iterations() * kDataSetKeys);
  return peaks;
}

// The whole job, as a user sees it: a fresh writer, every key, one build.
// Reports the peak heap and resident-set growth against the blob bytes.
void BM_WriterAddAndBuild(benchmark::State& state) {
  const DataSet& d = DataSetA();
  const std::string path = StorePath("addbuild");
  const auto [heap, rss] = TimeWholeBuilds(state, path, [&] {
    auto w = std::make_unique<Writer>();
    FillWriter(*w, d);
    BuildOrDie(*w, path);
    return w;
  });
  const double payload = static_cast<double>(d.blob_bytes);
  state.counters["blob_MB"] = payload / 1e6;
  state.counters["heap_peak_MB"] = static_cast<double>(heap) / 1e6;
  state.counters["rss_peak_MB"] = static_cast<double>(rss) / 1e6;
  state.counters["heap_x_blobs"] = static_cast<double>(heap) / payload;
  state.counters["rss_x_blobs"] = static_cast<double>(rss) / payload;
}

// The same job through StreamBuilder (section: 1 writes the hash index), to
// read beside writer/add_and_build_1M: the objects go to the file as they
// come, so the peaks hold keys and offsets only.
void BM_StreamAddAndCommit(benchmark::State& state) {
  const DataSet& d = DataSetA();
  const std::string path = StorePath("stream");
  const auto [heap, rss] = TimeWholeBuilds(state, path, [&] {
    StreamOptions options;
    options.hash_index = state.range(0) != 0;
    auto b = StreamBuilder::Create(path, options);
    if (!b.ok()) std::abort();
    for (std::size_t i = 0; i < d.keys.size(); ++i) {
      auto id = b.value()->AddObject(d.blobs[i]);
      if (!id.ok() || !b.value()->AddKey(d.keys[i], id.value()).ok()) std::abort();
    }
    if (Status s = b.value()->Commit().status(); !s.ok()) {
      std::fprintf(stderr, "commit failed: %s\n", s.ToString().c_str());
      std::exit(1);
    }
    return std::move(b).value();
  });
  state.counters["heap_peak_MB"] = static_cast<double>(heap) / 1e6;
  state.counters["rss_peak_MB"] = static_cast<double>(rss) / 1e6;
  state.counters["heap_B_per_key"] = static_cast<double>(heap) / kDataSetKeys;
  state.counters["rss_B_per_key"] = static_cast<double>(rss) / kDataSetKeys;
}

#ifdef VORL_BENCH_READER

bool g_store_a_built = false;

// Data set A as a store file, built once per process and removed at exit.
const std::string& StoreA() {
  static const std::string path = [] {
    Writer w;
    FillWriter(w, DataSetA());
    const std::string p = StorePath("a");
    BuildOrDie(w, p);
    g_store_a_built = true;
    return p;
  }();
  return path;
}

// With `section` the store must open through its hash index section;
// without, the index is read into memory whatever the file holds.
std::unique_ptr<const Reader> OpenOrDie(const std::string& path, bool verify, bool section = false) {
  auto r = Reader::Open(path, verify, section ? IndexUse::kSectionIfPresent : IndexUse::kInMemory);
  if (!r.ok() || (section && !r.value()->has_hash_index())) {
    std::fprintf(stderr, "open%s failed: %s\n", section ? " through the section" : "",
                 r.status().ToString().c_str());
    std::exit(1);
  }
  return std::move(r).value();
}

// Opens the store once per iteration and returns the peak heap one open took.
std::int64_t TimeOpens(benchmark::State& state, const std::string& path, bool section) {
  const bool verify = state.range(0) != 0;
  std::int64_t heap = 0;
  for (auto _ : state) {
    HeapPeak peak;
    auto reader = OpenOrDie(path, verify, section);
    heap = peak.bytes();
    benchmark::DoNotOptimize(reader.get());
    state.PauseTiming();  // unmapping and freeing are not part of opening
    reader.reset();
    state.ResumeTiming();
  }
  return heap;
}

void BM_ReaderOpen(benchmark::State& state) {
  const std::int64_t heap = TimeOpens(state, StoreA(), false);
  state.counters["index_heap_bytes_per_key"] = static_cast<double>(heap) / kDataSetKeys;
}

// The keys of data set A in insertion order (random with respect to the
// file), or with `hit` false absent ones of the same shape: "user:1" and the
// last seven digits.
const std::vector<std::string>& LookupKeys(bool hit) {
  if (hit) return DataSetA().keys;
  static const std::vector<std::string> misses = [] {
    std::vector<std::string> out;
    out.reserve(DataSetA().keys.size());
    for (const std::string& k : DataSetA().keys) out.push_back("user:1" + k.substr(6));
    return out;
  }();
  return misses;
}

// One lookup and copy of the object per iteration, cycling through
// LookupKeys(range(0)).
void BM_ReaderGet(benchmark::State& state) {
  const bool hit = state.range(0) != 0;
  static const auto reader = OpenOrDie(StoreA(), false);
  const std::vector<std::string>& keys = LookupKeys(hit);
  std::size_t i = 0;
  std::int64_t found = 0;
  for (auto _ : state) {
    auto view = reader->FindObject(keys[i]);
    std::optional<std::string> value;
    if (view.ok() && view.value()) value.emplace(*view.value());
    found += view.ok() && value.has_value() && reader->CheckUnchanged().ok();
    benchmark::DoNotOptimize(value);
    if (++i == keys.size()) i = 0;
  }
  if (found != (hit ? state.iterations() : 0)) state.SkipWithError("unexpected lookup results");
}

// --- The on-disk hash index against the in-memory one, on data set A.

bool g_store_a_section_built = false;
double g_section_bytes_per_key = 0;

// Data set A's store with a hash index section appended, built once.
const std::string& StoreASection() {
  static const std::string path = [] {
    std::ifstream in(StoreA(), std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), {});
    const auto* p = reinterpret_cast<const unsigned char*>(image.data());
    const std::uint64_t index_offset = LoadBE64(p + 16);
    auto scanned = ScannedIndex::Scan(p, image.size(), index_offset, LoadBE32(p + 8));
    std::string out = image.substr(0, index_offset + scanned.value().index_length());
    if (!scanned.ok() || !AppendHashSection(scanned.value(), index_offset, NewSectionSeed(), out).ok()) {
      std::fprintf(stderr, "cannot add the hash index section\n");
      std::exit(1);
    }
    g_section_bytes_per_key = static_cast<double>(out.size() - image.size()) / kDataSetKeys;
    StoreBE32(reinterpret_cast<unsigned char*>(out.data()) + 32,
              crc32::Value(out.data() + 40, out.size() - 40));
    const std::string p_out = StorePath("a-section");
    std::ofstream(p_out, std::ios::binary | std::ios::trunc) << out;
    g_store_a_section_built = true;
    return p_out;
  }();
  return path;
}

// Open through the section: the heap it takes is the private memory a
// reader keeps (the mapping is shared page cache).
void BM_IndexedOpen(benchmark::State& state) {
  const std::int64_t heap = TimeOpens(state, StoreASection(), true);
  state.counters["private_heap_bytes"] = static_cast<double>(heap);
  state.counters["section_bytes_per_key"] = g_section_bytes_per_key;
}

// The store with a section, opened through it or with its index read into
// memory; each opened once per process.
const Reader& SectionStoreReader(bool section) {
  static const auto indexed = OpenOrDie(StoreASection(), false, true);
  static const auto in_memory = OpenOrDie(StoreASection(), false);
  return section ? *indexed : *in_memory;
}

// One lookup and a copy of the object per iteration, as get_raw does, with
// the keys of BM_ReaderGet: range(0) hit or miss, range(1) 1 for the
// section, 0 for the in-memory index of the same file.
void BM_FindObject(benchmark::State& state) {
  const bool hit = state.range(0) != 0;
  const Reader& reader = SectionStoreReader(state.range(1) != 0);
  const std::vector<std::string>& keys = LookupKeys(hit);
  std::size_t i = 0;
  std::int64_t found = 0;
  std::string copy;
  for (auto _ : state) {
    const auto object = reader.FindObject(keys[i]);
    if (object.ok() && object.value()) {
      copy.assign(*object.value());
      ++found;
    }
    benchmark::DoNotOptimize(copy);
    if (++i == keys.size()) i = 0;
  }
  if (found != (hit ? state.iterations() : 0)) state.SkipWithError("unexpected lookup results");
}

// Batches of 1,000 keys of data set A (insertion order, random with respect
// to the file), each object copied as get_many_raw does: range(0) 1 for the
// section, 0 for the in-memory index; range(1) 1 for one FindObjects call
// per batch, 0 for one FindObject per key.  "per_key" is the time per key.
void BM_FindObjectsBatch(benchmark::State& state) {
  const Reader& reader = SectionStoreReader(state.range(0) != 0);
  const bool batched = state.range(1) != 0;
  constexpr std::size_t kBatch = 1000;
  static const std::vector<std::string_view> keys = [] {
    const DataSet& d = DataSetA();
    return std::vector<std::string_view>(d.keys.begin(), d.keys.end());
  }();
  std::vector<std::optional<std::string_view>> found(kBatch);
  std::vector<std::string> copies(kBatch);
  std::size_t first = 0;
  std::int64_t hits = 0;
  for (auto _ : state) {
    const std::span<const std::string_view> batch(keys.data() + first, kBatch);
    if (batched) {
      const Status s = reader.FindObjects(batch, found);
      if (!s.ok()) state.SkipWithError(s.ToString().c_str());
    } else {
      for (std::size_t i = 0; i < kBatch; ++i) {
        auto object = reader.FindObject(batch[i]);
        found[i] = object.ok() ? object.value() : std::nullopt;
      }
    }
    for (std::size_t i = 0; i < kBatch; ++i) {
      if (!found[i]) continue;
      copies[i].assign(*found[i]);
      ++hits;
    }
    benchmark::DoNotOptimize(copies.data());
    first += kBatch;
    if (first + kBatch > keys.size()) first = 0;
  }
  if (hits != state.iterations() * static_cast<std::int64_t>(kBatch)) {
    state.SkipWithError("unexpected lookup results");
  }
  state.counters["per_key"] = benchmark::Counter(static_cast<double>(state.iterations() * kBatch),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A prefix matching 1,000 keys: the range, then every object read, through
// either index (range(0) as range(1) above).
void BM_PrefixThousand(benchmark::State& state) {
  const Reader& reader = SectionStoreReader(state.range(0) != 0);
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    const auto [first, end] = reader.PrefixRange("user:00123").value();
    for (std::size_t i = first; i < end; ++i) {
      bytes += reader.ObjectView(reader.Entry(i).value().object_offset).value().size();
    }
    if (end - first != 1000) state.SkipWithError("prefix does not match 1,000 keys");
    benchmark::DoNotOptimize(bytes);
  }
}

// Runs `b` for each pair of two flags, the first changing slowest (as
// ArgsProduct does not), so that a table reads in pairs of the second flag.
void FlagPairs(benchmark::internal::Benchmark* b, const std::vector<std::string>& names,
               std::array<int, 2> first_values) {
  b->ArgNames(names);
  for (int first : first_values) {
    for (int second : {0, 1}) b->Args({first, second});
  }
}

#endif  // VORL_BENCH_READER

void RegisterAll() {
  struct Size {
    const char* label;
    std::size_t bytes;
  };
  const Size sizes[] = {{"100B", 100}, {"4KiB", 4 * kKiB}, {"64KiB", 64 * kKiB}, {"256MiB", 256 * kMiB}};
  for (crc32::Backend b : crc32::kAllBackends) {
    const crc32::ExtendFunction extend = crc32::BackendFunction(b);
    if (extend == nullptr) continue;
    for (const Size& s : sizes) {
      const std::string name = std::string("crc32/") + crc32::BackendName(b) + "/" + s.label;
      benchmark::RegisterBenchmark(name.c_str(), BM_Crc32, extend, s.bytes);
    }
  }
  for (const Size& s : sizes) {
    benchmark::RegisterBenchmark((std::string("memcpy/") + s.label).c_str(), BM_Memcpy, s.bytes);
    benchmark::RegisterBenchmark((std::string("seqread/") + s.label).c_str(), BM_SequentialRead, s.bytes);
  }
  benchmark::RegisterBenchmark("writer/add_1M", BM_WriterAdd)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("writer/build_1M", BM_WriterBuild)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("writer/add_and_build_1M", BM_WriterAddAndBuild)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("stream/add_and_commit_1M", BM_StreamAddAndCommit)
      ->ArgName("section")
      ->Arg(0)
      ->Arg(1)
      ->Unit(benchmark::kMillisecond);
#ifdef VORL_BENCH_READER
  benchmark::RegisterBenchmark("reader/open", BM_ReaderOpen)
      ->ArgName("verify")
      ->Arg(1)
      ->Arg(0)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("reader/get_raw", BM_ReaderGet)->ArgName("hit")->Arg(1)->Arg(0);
  benchmark::RegisterBenchmark("section/open", BM_IndexedOpen)->ArgName("verify")->Arg(1)->Arg(0);
  FlagPairs(benchmark::RegisterBenchmark("section/find_object", BM_FindObject), {"hit", "section"}, {1, 0});
  FlagPairs(benchmark::RegisterBenchmark("batch/find_objects_1000", BM_FindObjectsBatch),
            {"section", "batched"}, {0, 1});
  benchmark::RegisterBenchmark("section/prefix_1000", BM_PrefixThousand)->ArgName("section")->Arg(0)->Arg(1);
#endif
}

}  // namespace
}  // namespace vorl

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  vorl::RegisterAll();
  benchmark::AddCustomContext("crc32_backend", vorl::crc32::BackendName());
  benchmark::AddCustomContext("bench_dir", vorl::BenchDir());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
#ifdef VORL_BENCH_READER
  if (vorl::g_store_a_built) ::unlink(vorl::StoreA().c_str());
  if (vorl::g_store_a_section_built) ::unlink(vorl::StoreASection().c_str());
#endif
  return 0;
}
