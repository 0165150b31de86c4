#include "core/hash.h"

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "core/file.h"

namespace vorl {
namespace {

using Seed = std::array<std::uint64_t, 8>;

// A bijective 64-bit finaliser (SplitMix64's), used to spread the weak
// fallback entropy and to derive container keys.
std::uint64_t Mix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15u;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

// Last resort when the system has no random source for us: clocks, the
// process id and addresses (randomised by ASLR).  Predictable by a local
// attacker, but the seed only protects hash tables against crafted keys;
// nothing else relies on it, so opening a store must not fail over it.
void FillFromEnvironment(Seed& seed) {
  timespec real{}, mono{};
  ::clock_gettime(CLOCK_REALTIME, &real);
  ::clock_gettime(CLOCK_MONOTONIC, &mono);
  int stack_probe = 0;
  const std::uint64_t inputs[8] = {
      static_cast<std::uint64_t>(real.tv_sec), static_cast<std::uint64_t>(real.tv_nsec),
      static_cast<std::uint64_t>(mono.tv_sec), static_cast<std::uint64_t>(mono.tv_nsec),
      static_cast<std::uint64_t>(::getpid()),  reinterpret_cast<std::uintptr_t>(&stack_probe),
      reinterpret_cast<std::uintptr_t>(&seed), reinterpret_cast<std::uintptr_t>(&Mix64),
  };
  std::uint64_t state = 0;
  for (std::size_t i = 0; i < seed.size(); ++i) {
    state = Mix64(state ^ inputs[i]);
    seed[i] = state;
  }
}

std::atomic<const Seed*> g_seed{nullptr};
std::atomic<std::uint64_t> g_container_counter{0};

}  // namespace

const Seed& ProcessSeed() {
  if (const Seed* s = g_seed.load(std::memory_order_acquire)) return *s;
  auto* fresh = new Seed{};
  unsigned char bytes[sizeof(Seed)];
  if (ReadSystemRandom(bytes, sizeof bytes)) {
    std::memcpy(fresh->data(), bytes, sizeof bytes);
  } else {
    FillFromEnvironment(*fresh);
  }
  const Seed* expected = nullptr;
  if (g_seed.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
    return *fresh;  // kept for the life of the process
  }
  delete fresh;  // another thread stored its seed first
  return *expected;
}

HashKey NewHashKey() {
  const Seed& seed = ProcessSeed();
  const std::uint64_t counter = g_container_counter.fetch_add(1, std::memory_order_relaxed);
  HashKey key;
  for (std::size_t i = 0; i < 4; ++i) key.k[i] = Mix64(seed[i] ^ Mix64(counter ^ seed[i + 4]));
  return key;
}

}  // namespace vorl
