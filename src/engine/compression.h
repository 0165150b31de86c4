// Per-record compression with a dictionary trained on the store's own
// records: the one unit that knows zstd.  The framing (an extension type,
// the dictionary section) is dictionary_section.h's.
//
// RecordCompressor turns an object's MessagePack bytes into the payload to
// store: the compressed record when that is smaller (or when the object is
// itself an extension of the compressed records' type, which must never be
// stored as it is), else the bytes unchanged.  RecordExpander turns a
// stored payload back into MessagePack with one prepared dictionary.
// Neither is thread-safe: each writer and each reader owns its own, and
// both run under the owner's serialisation (the GIL).
#ifndef VORLSTORE_ENGINE_COMPRESSION_H_
#define VORLSTORE_ENGINE_COMPRESSION_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/record_recode.h"
#include "core/status.h"

// zstd's contexts, declared here so that only compression.cc sees zstd.h.
struct ZSTD_CCtx_s;
struct ZSTD_CDict_s;
struct ZSTD_DCtx_s;
struct ZSTD_DDict_s;

namespace vorl::engine {

// The dictionary a builder aims for, and how many bytes of records it
// trains on.  More sample buys little on records that resemble each other
// (a 16 MiB sample gains 1-3% in size) and costs training time in
// proportion; a sample spread over the whole store gains more than a
// larger one from its start when the records come in an order (by file,
// by name).  A 256 KiB dictionary trains as fast as a 112 KiB one and
// shrinks records of package metadata and of source lines 2-3% more, for
// 144 KiB more in the file.
inline constexpr std::size_t kDictionaryCapacity = std::size_t{256} << 10;
inline constexpr std::size_t kSampleBytes = std::size_t{4} << 20;
inline constexpr int kDefaultLevel = 3;

class RecordCompressor {
 public:
  explicit RecordCompressor(int level);
  ~RecordCompressor();
  RecordCompressor(const RecordCompressor&) = delete;
  RecordCompressor& operator=(const RecordCompressor&) = delete;

  // Trains a dictionary on the samples laid end to end in `joined`, of
  // `sizes` bytes each.  False when they are too few or too small to train
  // on: the store is then written without compression.
  bool Train(std::string_view joined, std::span<const std::size_t> sizes);
  // Compresses with `dictionary`, another store's, so that its records can
  // be copied as they are stored.  Fails (kind other) for bytes zstd does
  // not take as a dictionary.
  Status Adopt(std::string_view dictionary);
  bool ready() const { return cdict_ != nullptr; }
  const std::string& dictionary() const { return dictionary_; }
  int level() const { return level_; }

  // The payload to store for `blob`: a view of `scratch` holding the
  // compressed record, or `blob` itself.  REQUIRES: ready().
  Result<std::string_view> Encode(std::string_view blob, std::string& scratch);
  // Adds to `out` the payload to store for each of `blobs`, in order, as
  // Encode makes them.  Runs of at least kRunPerThread bytes are spread
  // over the processors this process may use (kMaxThreads at most), each
  // thread with a context of its own; the prepared dictionary is shared,
  // which zstd allows (it only reads it).  REQUIRES: ready().
  Status EncodeMany(std::span<const std::string_view> blobs, PayloadBatch& out);

  static constexpr std::size_t kMaxThreads = 8;
  static constexpr std::size_t kRunPerThread = std::size_t{256} << 10;

 private:
  // Encode, with the context `cctx` (this compressor's or a helper's).
  Result<std::string_view> EncodeWith(::ZSTD_CCtx_s* cctx, std::string_view blob, std::string& scratch);
  // The context of helper thread i, made on first use.
  ::ZSTD_CCtx_s* Helper(std::size_t i);

  int level_;
  std::string dictionary_;
  ::ZSTD_CCtx_s* cctx_ = nullptr;
  ::ZSTD_CDict_s* cdict_ = nullptr;
  std::vector<::ZSTD_CCtx_s*> helpers_;
};

class RecordExpander {
 public:
  // A compressed record's zstd frame (magic left out) and the number of
  // bytes its header says it decodes to.
  struct Frame {
    std::string_view data;
    std::size_t size = 0;
  };

  // Prepares `dictionary` (a store's, non-empty); a corrupt error when zstd
  // refuses it.
  static Result<std::unique_ptr<RecordExpander>> Create(std::string_view dictionary);
  ~RecordExpander();
  RecordExpander(const RecordExpander&) = delete;
  RecordExpander& operator=(const RecordExpander&) = delete;

  // The frame of the stored `payload`, or no value when it is not a
  // compressed record (it is then MessagePack as it stands).  A corrupt
  // error for a frame whose header is damaged or claims more than its
  // blocks can hold.  The payload's CRC is the caller's to check, before:
  // a damaged frame can decode to wrong bytes, and a damaged extension
  // header can pass a compressed record off as a raw one.
  static Result<std::optional<Frame>> Inspect(std::string_view payload);
  // Decompresses `frame` into exactly frame.size bytes at `out`.
  Status ExpandInto(const Frame& frame, char* out);
  // The MessagePack bytes of `payload`: itself, or decompressed into the
  // front of `scratch`, which only ever grows (no bytes are cleared on the
  // way).  Corrupt errors as Inspect's, or zstd's for a damaged frame.
  Result<std::string_view> Expand(std::string_view payload, std::string& scratch);

 private:
  RecordExpander() = default;

  ::ZSTD_DCtx_s* dctx_ = nullptr;
  ::ZSTD_DDict_s* ddict_ = nullptr;
};

// Decompresses a .zst file as it streams in (one frame or several laid end
// to end, as `zstd` writes them), so that any Python reads compressed input,
// not only those built with their own zstd module.  The caller feeds the
// file's bytes in pieces and takes the output in bounded pieces: a small
// piece of input can expand to gigabytes, and none of it is held at once.
class StreamExpander {
 public:
  StreamExpander();
  ~StreamExpander();
  StreamExpander(const StreamExpander&) = delete;
  StreamExpander& operator=(const StreamExpander&) = delete;

  // Takes `data` after the input not yet used and returns at most
  // `max_length` bytes of output; a corrupt error for bytes that are not
  // zstd frames.
  Result<std::string> Next(std::string_view data, std::size_t max_length);
  // Whether Next needs more input before it can return more output.
  bool needs_input() const { return needs_input_; }
  // Whether the input so far ends where a frame ends: when the file ends
  // and this is false, the file was cut short.
  bool at_frame_end() const { return at_frame_end_; }

 private:
  std::string input_;
  std::size_t used_ = 0;
  bool needs_input_ = true;
  bool at_frame_end_ = true;
  ::ZSTD_DCtx_s* dctx_ = nullptr;
};

}  // namespace vorl::engine

#endif  // VORLSTORE_ENGINE_COMPRESSION_H_
