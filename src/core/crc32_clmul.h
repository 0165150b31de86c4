// The carry-less-multiply CRC-32 backends (x86-64 only), used by the
// dispatcher in crc32.cc.  Each is compiled for its instruction set alone
// through function attributes, so callers must check the CPU first.
#ifndef VORLSTORE_CORE_CRC32_CLMUL_H_
#define VORLSTORE_CORE_CRC32_CLMUL_H_

#include <cstddef>
#include <cstdint>

namespace vorl::crc32 {

#if defined(__x86_64__) && defined(__GNUC__)
#define VORL_CRC32_HAVE_CLMUL 1

// REQUIRES: the CPU supports PCLMULQDQ and SSE4.1.
std::uint32_t ExtendPclmul(std::uint32_t crc, const void* data, std::size_t size);
// REQUIRES: the CPU supports VPCLMULQDQ, PCLMULQDQ, SSE4.1 and AVX-512 F/BW/VL.
std::uint32_t ExtendVpclmul(std::uint32_t crc, const void* data, std::size_t size);

#endif

}  // namespace vorl::crc32

#endif  // VORLSTORE_CORE_CRC32_CLMUL_H_
