// CRC-32 (ISO-HDLC / IEEE 802.3: reflected polynomial 0xEDB88320, preset and
// final complement), the checksum of object payloads and of the whole file.
// Extend() continues a finished checksum over more bytes, so
// Extend(Extend(0, a), b) == Value(a + b).
//
// Three backends compute the same function: a portable table that consumes
// 16 bytes per step, and on x86-64 two carry-less-multiply folding backends
// (PCLMULQDQ with SSE4.1, and VPCLMULQDQ with AVX-512).  Extend() dispatches
// to the fastest one the CPU supports, chosen once per process; the
// environment variable VORL_CRC32_BACKEND=portable|pclmul|vpclmul, read at
// that moment, forces a choice when the CPU supports it.  All functions are
// thread-safe.  The backends themselves are reached through
// crc32_internal.h, which only tests and benchmarks need.
#ifndef VORLSTORE_CORE_CRC32_H_
#define VORLSTORE_CORE_CRC32_H_

#include <cstddef>
#include <cstdint>

namespace vorl::crc32 {

std::uint32_t Extend(std::uint32_t crc, const void* data, std::size_t size);

inline std::uint32_t Value(const void* data, std::size_t size) { return Extend(0, data, size); }

// Name of the backend Extend() dispatches to: "portable", "pclmul" or
// "vpclmul".
const char* BackendName();

}  // namespace vorl::crc32

#endif  // VORLSTORE_CORE_CRC32_H_
