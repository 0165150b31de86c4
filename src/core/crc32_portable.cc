// The portable CRC-32 backend: slicing by sixteen over compile-time tables.
// It serves every CPU, and the folding backends hand it inputs too short to
// pay for their setup.
#include <array>

#include "core/coding.h"
#include "core/crc32_internal.h"

namespace vorl::crc32 {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// tables[k][b] is the CRC contribution of byte b followed by k zero bytes, so
// sixteen input bytes fold into the register with sixteen lookups.
using Tables = std::array<std::array<std::uint32_t, 256>, 16>;

constexpr Tables MakeTables() {
  Tables t{};
  for (std::uint32_t b = 0; b < 256; ++b) {
    std::uint32_t c = b;
    for (int i = 0; i < 8; ++i) c = (c >> 1) ^ (kPolynomial & (0u - (c & 1u)));
    t[0][b] = c;
  }
  for (std::size_t k = 1; k < 16; ++k) {
    for (std::uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFFu];
  }
  return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace

std::uint32_t ExtendPortable(std::uint32_t crc, const void* data, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint32_t c = ~crc;
  while (size >= 16) {
    const std::uint32_t w0 = LoadLE32(p) ^ c;
    const std::uint32_t w1 = LoadLE32(p + 4);
    const std::uint32_t w2 = LoadLE32(p + 8);
    const std::uint32_t w3 = LoadLE32(p + 12);
    c = kTables[15][w0 & 0xFF] ^ kTables[14][(w0 >> 8) & 0xFF] ^ kTables[13][(w0 >> 16) & 0xFF] ^
        kTables[12][w0 >> 24] ^ kTables[11][w1 & 0xFF] ^ kTables[10][(w1 >> 8) & 0xFF] ^
        kTables[9][(w1 >> 16) & 0xFF] ^ kTables[8][w1 >> 24] ^ kTables[7][w2 & 0xFF] ^
        kTables[6][(w2 >> 8) & 0xFF] ^ kTables[5][(w2 >> 16) & 0xFF] ^ kTables[4][w2 >> 24] ^
        kTables[3][w3 & 0xFF] ^ kTables[2][(w3 >> 8) & 0xFF] ^ kTables[1][(w3 >> 16) & 0xFF] ^
        kTables[0][w3 >> 24];
    p += 16;
    size -= 16;
  }
  // The same tables serve 8 and 4 bytes per step, which keeps short inputs
  // (and the tails the folding backends hand over) off the byte loop.
  if (size >= 8) {
    const std::uint32_t w0 = LoadLE32(p) ^ c;
    const std::uint32_t w1 = LoadLE32(p + 4);
    c = kTables[7][w0 & 0xFF] ^ kTables[6][(w0 >> 8) & 0xFF] ^ kTables[5][(w0 >> 16) & 0xFF] ^
        kTables[4][w0 >> 24] ^ kTables[3][w1 & 0xFF] ^ kTables[2][(w1 >> 8) & 0xFF] ^
        kTables[1][(w1 >> 16) & 0xFF] ^ kTables[0][w1 >> 24];
    p += 8;
    size -= 8;
  }
  if (size >= 4) {
    const std::uint32_t w = LoadLE32(p) ^ c;
    c = kTables[3][w & 0xFF] ^ kTables[2][(w >> 8) & 0xFF] ^ kTables[1][(w >> 16) & 0xFF] ^
        kTables[0][w >> 24];
    p += 4;
    size -= 4;
  }
  while (size-- > 0) c = (c >> 8) ^ kTables[0][(c ^ *p++) & 0xFF];
  return ~c;
}

}  // namespace vorl::crc32
