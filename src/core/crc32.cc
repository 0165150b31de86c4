// The dispatcher: picks one backend per process and forwards Extend() to
// it.  It computes nothing itself.
#include "core/crc32.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/crc32_internal.h"

namespace vorl::crc32 {
namespace {

bool Supported(Backend backend) {
  switch (backend) {
    case Backend::kPortable:
      return true;
#ifdef VORL_CRC32_HAVE_CLMUL
    case Backend::kPclmul:
      // Needed when this runs before the C library's own constructors.
      __builtin_cpu_init();
      return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    case Backend::kVpclmul:
      __builtin_cpu_init();
      return Supported(Backend::kPclmul) && __builtin_cpu_supports("vpclmulqdq") &&
             __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vl");
#endif
    default:
      return false;
  }
}

// The fastest supported backend, unless VORL_CRC32_BACKEND names another
// supported one.  An unknown or unsupported name is ignored, so a setting
// meant for another machine never breaks this one; BackendName() shows what
// was chosen.
Backend Choose() {
  if (const char* wanted = std::getenv("VORL_CRC32_BACKEND")) {
    for (Backend b : kAllBackends) {
      if (std::strcmp(wanted, BackendName(b)) == 0 && Supported(b)) return b;
    }
  }
  for (Backend b : {Backend::kVpclmul, Backend::kPclmul}) {
    if (Supported(b)) return b;
  }
  return Backend::kPortable;
}

struct Dispatch {
  Backend backend;
  ExtendFunction extend;
};

const Dispatch& Chosen() {
  static const Dispatch dispatch = [] {
    const Backend b = Choose();
    const ExtendFunction extend = BackendFunction(b);  // never null: Choose() checked support
    return extend != nullptr ? Dispatch{b, extend} : Dispatch{Backend::kPortable, &ExtendPortable};
  }();
  return dispatch;
}

}  // namespace

const char* BackendName(Backend backend) {
  switch (backend) {
    case Backend::kPortable:
      return "portable";
    case Backend::kPclmul:
      return "pclmul";
    case Backend::kVpclmul:
      return "vpclmul";
  }
  return "unknown";
}

ExtendFunction BackendFunction(Backend backend) {
  if (!Supported(backend)) return nullptr;
  switch (backend) {
    case Backend::kPortable:
      return &ExtendPortable;
#ifdef VORL_CRC32_HAVE_CLMUL
    case Backend::kPclmul:
      return &ExtendPclmul;
    case Backend::kVpclmul:
      return &ExtendVpclmul;
#endif
    default:
      return nullptr;
  }
}

std::uint32_t Extend(std::uint32_t crc, const void* data, std::size_t size) {
  return Chosen().extend(crc, data, size);
}

const char* BackendName() { return BackendName(Chosen().backend); }

}  // namespace vorl::crc32
