#include "core/mapping_guard.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "core/file.h"

namespace vorl {
namespace {

// The registry is read by the signal handler, so it is guarded by a spin
// lock, which is async-signal-safe, rather than a mutex.  The handler takes
// it only for faults (synchronous signals), and nothing holding it touches a
// file mapping, so a thread never waits on a lock it holds itself.
std::atomic_flag g_registry_lock = ATOMIC_FLAG_INIT;
// Never freed: the handler may run while the process exits.
std::vector<MappingGuard::State*>* const g_registry = new std::vector<MappingGuard::State*>();

class RegistryLock {
 public:
  RegistryLock() {
    while (g_registry_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~RegistryLock() { g_registry_lock.clear(std::memory_order_release); }
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;
};

struct sigaction g_previous {};
std::size_t g_page_size = 0;  // read once at install: sysconf is not signal-safe
std::once_flag g_install_once;

// Marks the guard whose range holds `address` and puts a zero page there, so
// that the faulting instruction can run again.  False when the address is
// not ours or the page cannot be replaced.
bool AbsorbFault(const void* fault) {
  const auto address = reinterpret_cast<std::uintptr_t>(fault);
  RegistryLock lock;
  for (MappingGuard::State* state : *g_registry) {
    const std::uintptr_t offset = address - state->begin;  // wraps for lower addresses
    if (offset >= state->size) continue;
    if (!state->faulted.load(std::memory_order_relaxed)) {
      state->fault_offset.store(offset, std::memory_order_relaxed);
    }
    // Marked before the page changes: a thread that reads the zeros then
    // also sees the mark when it checks.
    state->faulted.store(true, std::memory_order_seq_cst);
    return MapZeroPagesOver(static_cast<const char*>(fault) - (address & (g_page_size - 1)), g_page_size);
  }
  return false;
}

void PassOn(int signo, siginfo_t* info, void* context) {
  const bool fault = info != nullptr && info->si_code > 0;
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) g_previous.sa_sigaction(signo, info, context);
    return;
  }
  if (g_previous.sa_handler == SIG_IGN && !fault) return;
  if (g_previous.sa_handler == SIG_DFL || g_previous.sa_handler == SIG_IGN) {
    // The default action, as if we had never been installed: a fault
    // recurs when the instruction runs again, a sent signal is sent again
    // and arrives once this handler returns.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signo, &default_action, nullptr);
    if (!fault) (void)raise(signo);
    return;
  }
  g_previous.sa_handler(signo);
}

void OnSigbus(int signo, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  // si_code > 0 means the kernel raised it for a memory access; a signal
  // sent by kill or raise is never ours.
  const bool absorbed = info != nullptr && info->si_code > 0 && AbsorbFault(info->si_addr);
  if (!absorbed) PassOn(signo, info, context);
  errno = saved_errno;
}

void InstallHandler() {
  g_page_size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action {};
  action.sa_sigaction = OnSigbus;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

MappingGuard::MappingGuard(const unsigned char* data, std::uint64_t size) {
  if (data == nullptr || size == 0) return;
  std::call_once(g_install_once, InstallHandler);
  auto state = std::make_unique<State>();
  state->begin = reinterpret_cast<std::uintptr_t>(data);
  state->size = static_cast<std::size_t>(size);
  {
    RegistryLock lock;
    g_registry->push_back(state.get());
  }
  state_ = std::move(state);
}

MappingGuard& MappingGuard::operator=(MappingGuard&& other) noexcept {
  if (this != &other) {
    Unregister();
    state_ = std::move(other.state_);
  }
  return *this;
}

MappingGuard::~MappingGuard() { Unregister(); }

void MappingGuard::Unregister() noexcept {
  if (state_ == nullptr) return;
  {
    RegistryLock lock;
    auto it = std::find(g_registry->begin(), g_registry->end(), state_.get());
    if (it != g_registry->end()) {
      *it = g_registry->back();
      g_registry->pop_back();
    }
  }
  state_.reset();
}

Status MappingGuard::ChangedError() const {
  return Status::Corrupt("file changed while open: offset " +
                         std::to_string(state_->fault_offset.load(std::memory_order_relaxed)) +
                         " can no longer be read");
}

}  // namespace vorl
