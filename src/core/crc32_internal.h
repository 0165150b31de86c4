// The CRC-32 backends behind crc32.h, for the dispatcher in crc32.cc and for
// the tests and benchmarks that run every backend directly.  Each backend
// lives in a file of its own; the carry-less-multiply ones are compiled for
// their instruction set alone through function attributes, so a caller must
// check the CPU first (BackendFunction does).  Nothing here is for users of
// the checksum itself.
#ifndef VORLSTORE_CORE_CRC32_INTERNAL_H_
#define VORLSTORE_CORE_CRC32_INTERNAL_H_

#include <cstddef>
#include <cstdint>

namespace vorl::crc32 {

enum class Backend { kPortable, kPclmul, kVpclmul };
inline constexpr Backend kAllBackends[] = {Backend::kPortable, Backend::kPclmul, Backend::kVpclmul};

using ExtendFunction = std::uint32_t (*)(std::uint32_t crc, const void* data, std::size_t size);

// "portable", "pclmul" or "vpclmul".
const char* BackendName(Backend backend);
// The backend's Extend, or nullptr when this CPU (or this build) lacks the
// instructions it needs.  The portable backend is always there.
ExtendFunction BackendFunction(Backend backend);

// crc32_portable.cc: slicing by sixteen.
std::uint32_t ExtendPortable(std::uint32_t crc, const void* data, std::size_t size);

#if defined(__x86_64__) && defined(__GNUC__)
#define VORL_CRC32_HAVE_CLMUL 1

// crc32_pclmul.cc.  REQUIRES: the CPU supports PCLMULQDQ and SSE4.1.
std::uint32_t ExtendPclmul(std::uint32_t crc, const void* data, std::size_t size);
// crc32_vpclmul.cc.  REQUIRES: the CPU supports VPCLMULQDQ, PCLMULQDQ,
// SSE4.1 and AVX-512 F/BW/VL.
std::uint32_t ExtendVpclmul(std::uint32_t crc, const void* data, std::size_t size);

#endif

}  // namespace vorl::crc32

#endif  // VORLSTORE_CORE_CRC32_INTERNAL_H_
