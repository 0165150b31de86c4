// What a compressed store's records come to: how many are compressed, their
// bytes as stored and as MessagePack.  Read from the frame headers, so
// nothing is decompressed; a big store is measured on a sample of its
// records so that the figures (which repr and pickling ask for too) cost a
// bounded part of the file, not a read of all of it.  Stateless.
#ifndef VORLSTORE_ENGINE_COMPRESSION_FIGURES_H_
#define VORLSTORE_ENGINE_COMPRESSION_FIGURES_H_

#include <cstddef>
#include <cstdint>

#include "core/reader.h"
#include "core/status.h"

namespace vorl::engine {

// The figures of a reader's stats: exact up to this many entries,
// estimated from the records of that many beyond.
inline constexpr std::size_t kFiguresSample = 4096;

struct CompressionFigures {
  std::uint64_t compressed_objects = 0;
  std::uint64_t stored_bytes = 0;
  std::uint64_t decoded_bytes = 0;
  double ratio = 1.0;  // decoded / stored
  bool estimated = false;
};

// Exact for a store of at most `sample` entries: every distinct record its
// entries lead to.  Beyond, the records of `sample` entries at an even
// stride give the ratio and the share compressed, and the object section
// (less the record headers) the stored bytes.  A corrupt error for a record
// or frame header the file does not hold.
Result<CompressionFigures> MeasureCompression(const Reader& reader, std::size_t sample);

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_COMPRESSION_FIGURES_H_
