// CRC-32 (ISO-HDLC / IEEE 802.3: reflected polynomial 0xEDB88320, preset and
// final complement), the checksum of object payloads and of the whole file.
// Extend() continues a finished checksum over more bytes, so
// Extend(Extend(0, a), b) == Crc32(a + b).  The backend is chosen once per
// process; all functions are thread-safe.
#ifndef VORLSTORE_CORE_CRC32_H_
#define VORLSTORE_CORE_CRC32_H_

#include <cstddef>
#include <cstdint>

namespace vorl::crc32 {

std::uint32_t Extend(std::uint32_t crc, const void* data, std::size_t size);

inline std::uint32_t Value(const void* data, std::size_t size) { return Extend(0, data, size); }

// The portable slicing-by-16 table backend, exposed so that tests can check
// every backend against it.
std::uint32_t ExtendPortable(std::uint32_t crc, const void* data, std::size_t size);

// Name of the backend Extend() dispatches to ("portable", ...).
const char* BackendName();

}  // namespace vorl::crc32

#endif  // VORLSTORE_CORE_CRC32_H_
