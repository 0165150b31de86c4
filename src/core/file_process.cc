// The file layer's calls for process resources that are not files: random
// bytes for hash seeds, anonymous memory for large tables and the count of
// forks (declared in file.h).
#include "core/file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace vorl {

namespace {

bool FillFromGetrandom(unsigned char* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::getrandom(out + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;  // ENOSYS on kernels without the call, or a sandbox refusal
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool FillFromUrandom(unsigned char* out, std::size_t size) {
  OpenOutcome opened = OpenFile("/dev/urandom", O_RDONLY);
  if (!opened.fd.valid()) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(opened.fd.get(), out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::atomic<std::uint64_t> fork_count{0};
void CountFork() { fork_count.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t ForkCount() {
  // Registered by the first call, which comes before any fork that matters:
  // a PendingFile asks when it is created.
  static const bool counting = ::pthread_atfork(nullptr, nullptr, CountFork) == 0;
  (void)counting;
  return fork_count.load(std::memory_order_relaxed);
}

bool ReadSystemRandom(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  return FillFromGetrandom(bytes, size) || FillFromUrandom(bytes, size);
}

void* MapAnonymous(std::size_t length) {
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  return p;
}

void UnmapAnonymous(void* p, std::size_t length) { ::munmap(p, length); }

void AdviseHugePages(void* p, std::size_t length) { ::madvise(p, length, MADV_HUGEPAGE); }

bool MapZeroPagesOver(const void* p, std::size_t length) {
  // Read-only like the file mapping it replaces; MAP_FIXED swaps the pages
  // atomically, so other threads never see a hole.  The pages become part
  // of the mapping they replace, whose owner unmaps them.
  return ::mmap(const_cast<void*>(p), length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) !=
         MAP_FAILED;
}

}  // namespace vorl
