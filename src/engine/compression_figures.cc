#include "engine/compression_figures.h"

#include <optional>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "core/format.h"
#include "engine/compression.h"

namespace vorl::engine {

Result<CompressionFigures> MeasureCompression(const Reader& reader, std::size_t sample) {
  const std::size_t n = reader.num_entries();
  const std::size_t stride = n <= sample ? 1 : n / sample;
  std::uint64_t stored = 0, decoded = 0, compressed = 0, measured = 0;
  std::unordered_set<std::uint64_t> seen;
  const auto measure = [&](std::size_t, const EntryView& entry) -> Status {
    if (!seen.insert(entry.object_offset).second) return {};
    Result<std::string_view> payload = reader.ObjectView(entry.object_offset);
    if (!payload.ok()) return std::move(payload).status();
    Result<std::optional<RecordExpander::Frame>> frame = RecordExpander::Inspect(payload.value());
    if (!frame.ok()) return std::move(frame).status();
    stored += payload.value().size();
    decoded += frame.value() ? frame.value()->size : payload.value().size();
    compressed += frame.value() ? 1 : 0;
    ++measured;
    return {};
  };
  CompressionFigures out;
  if (stride == 1) {
    if (Status s = reader.VisitLiveEntries(0, n, measure); !s.ok()) return s;
  } else {
    for (std::size_t i = 0; i < n; i += stride) {
      if (Status s = reader.VisitLiveEntries(i, i + 1, measure); !s.ok()) return s;
    }
  }
  out.ratio = stored == 0 ? 1.0 : static_cast<double>(decoded) / static_cast<double>(stored);
  out.estimated = stride != 1;
  // A sample of nothing but shadowed entries measures nothing to scale.
  if (!out.estimated || measured == 0) {
    out.compressed_objects = compressed;
    out.stored_bytes = stored;
    out.decoded_bytes = decoded;
    return out;
  }
  const ReaderStats layout = reader.Stats();
  const std::uint64_t section =
      layout.index_offset > layout.data_offset ? layout.index_offset - layout.data_offset : 0;
  const std::uint64_t headers = format::kRecordHeaderSize * layout.num_objects;
  out.stored_bytes = headers > section ? 0 : section - headers;
  out.decoded_bytes = static_cast<std::uint64_t>(static_cast<double>(out.stored_bytes) * out.ratio);
  out.compressed_objects =
      static_cast<std::uint64_t>(static_cast<double>(layout.num_objects) * static_cast<double>(compressed) /
                                 static_cast<double>(measured));
  return out;
}

}  // namespace vorl::engine
