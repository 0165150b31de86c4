#include "engine/compression.h"

// The fastCover trainer with fixed parameters is declared for static
// linking only, and exported by the shared library all the same.
#define ZDICT_STATIC_LINKING_ONLY
// So is the decoder's setting for frames without their magic.
#define ZSTD_STATIC_LINKING_ONLY
#include <zdict.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <sched.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "core/dictionary_section.h"
#include "core/format.h"

namespace vorl::engine {
namespace ds = dictionary_section;
namespace {

// zstd blocks are at most 128 KiB decoded and at least 3 bytes stored, so a
// frame of n bytes decodes to no more than this: a bound that keeps a
// damaged size field from asking for gigabytes.
std::uint64_t MaxDecodedSize(std::size_t frame_length) {
  return (frame_length / 3 + 1) * (std::uint64_t{128} << 10);
}

Status ZstdError(const char* what, std::size_t code) {
  return Status::Corrupt(std::string(what) + ": " + ZSTD_getErrorName(code));
}

// A compression context for records: the dictionary is the store's, so
// its id in every frame would only cost bytes, and each record has a CRC.
ZSTD_CCtx* RecordContext() {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (cctx == nullptr) throw std::bad_alloc();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_dictIDFlag, 0);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 0);
  return cctx;
}

// The processors this process may run on.
std::size_t Processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<std::size_t>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

RecordCompressor::RecordCompressor(int level) : level_(level), cctx_(RecordContext()) {}

RecordCompressor::~RecordCompressor() {
  for (ZSTD_CCtx* helper : helpers_) ZSTD_freeCCtx(helper);
  ZSTD_freeCDict(cdict_);
  ZSTD_freeCCtx(cctx_);
}

ZSTD_CCtx* RecordCompressor::Helper(std::size_t i) {
  helpers_.reserve(i + 1);  // room first: nothing below throws once a context is made
  while (helpers_.size() <= i) helpers_.push_back(RecordContext());
  return helpers_[i];
}

bool RecordCompressor::Train(std::string_view joined, std::span<const std::size_t> sizes) {
  // A dictionary much larger than a tenth of its sample learns little more.
  const std::size_t capacity = std::min(kDictionaryCapacity, joined.size() / 10);
  if (capacity < 256 || sizes.size() < 8) return false;
  // One pass of fastCover with fixed parameters: the default trainer tries
  // a range of them and takes some twenty times as long, for a dictionary
  // that compresses these records within a percent of this one.  accel 4
  // trains in two thirds of the time of 2 for a dictionary within 0.2% of
  // its ratio (package metadata and source lines).
  ZDICT_fastCover_params_t params{};
  params.k = 256;
  params.d = 8;
  params.f = 20;
  params.accel = 4;
  params.zParams.compressionLevel = level_;
  std::string dictionary(capacity, '\0');
  const std::size_t n = ZDICT_trainFromBuffer_fastCover(
      dictionary.data(), capacity, joined.data(), sizes.data(), static_cast<unsigned>(sizes.size()), params);
  if (ZDICT_isError(n)) return false;
  dictionary.resize(n);
  return Adopt(dictionary).ok();
}

Status RecordCompressor::Adopt(std::string_view dictionary) {
  ZSTD_CDict* cdict = ZSTD_createCDict(dictionary.data(), dictionary.size(), level_);
  if (cdict == nullptr) return Status::Other("zstd refused the dictionary");
  ZSTD_freeCDict(cdict_);
  cdict_ = cdict;
  dictionary_ = std::string(dictionary);
  const std::size_t r = ZSTD_CCtx_refCDict(cctx_, cdict_);
  if (ZSTD_isError(r)) return Status::Internal(std::string("zstd: ") + ZSTD_getErrorName(r));
  return {};
}

Result<std::string_view> RecordCompressor::Encode(std::string_view blob, std::string& scratch) {
  return EncodeWith(cctx_, blob, scratch);
}

Status RecordCompressor::EncodeMany(std::span<const std::string_view> blobs, PayloadBatch& out) {
  std::size_t total = 0;
  for (const std::string_view blob : blobs) total += blob.size();
  const std::size_t threads = std::clamp<std::size_t>(total / kRunPerThread, 1, std::min(kMaxThreads, Processors()));
  // Thread t takes blobs [first[t], first[t + 1]): about total / threads bytes.
  std::vector<std::size_t> first{0};
  for (std::size_t i = 0, bytes = 0; i < blobs.size(); ++i) {
    bytes += blobs[i].size();
    if (first.size() < threads && bytes * threads >= total * first.size()) first.push_back(i + 1);
  }
  while (first.size() <= threads) first.push_back(blobs.size());
  std::vector<PayloadBatch> parts(threads);
  std::vector<Status> failures(threads);
  std::vector<ZSTD_CCtx*> contexts{cctx_};
  for (std::size_t t = 1; t < threads; ++t) {
    contexts.push_back(Helper(t - 1));
    const std::size_t r = ZSTD_CCtx_refCDict(contexts.back(), cdict_);
    if (ZSTD_isError(r)) return Status::Internal(std::string("zstd: ") + ZSTD_getErrorName(r));
  }
  auto work = [&](std::size_t t) noexcept {
    try {
      std::string scratch;
      for (std::size_t i = first[t]; i < first[t + 1]; ++i) {
        Result<std::string_view> stored = EncodeWith(contexts[t], blobs[i], scratch);
        if (!stored.ok()) {
          failures[t] = std::move(stored).status();
          return;
        }
        parts[t].Add(stored.value());
      }
    } catch (const std::exception& e) {
      failures[t] = Status::Other(std::string("compressing records: ") + e.what());
    }
  };
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(threads);
    for (std::size_t t = 1; t < threads; ++t) {
      try {
        helpers.emplace_back(work, t);
      } catch (const std::system_error&) {
        work(t);  // no thread to be had: this one does that share too
      }
    }
    work(0);
  }  // the helpers are joined here
  for (std::size_t t = 0; t < threads; ++t) {
    if (!failures[t].ok()) return failures[t];
    for (std::size_t i = 0; i < parts[t].size(); ++i) out.Add(parts[t][i]);
  }
  return {};
}

Result<std::string_view> RecordCompressor::EncodeWith(ZSTD_CCtx* cctx, std::string_view blob, std::string& scratch) {
  const bool must = ds::FrameOf(blob).has_value();
  scratch.resize(ds::kMaxExtHeader + ZSTD_compressBound(blob.size()));
  // The frame goes where its magic overlaps the end of the longest header,
  // so that the header can be written over the magic in place.
  char* frame = scratch.data() + ds::kMaxExtHeader - sizeof ds::kFrameMagic;
  const std::size_t n =
      ZSTD_compress2(cctx, frame, scratch.size() - (frame - scratch.data()), blob.data(), blob.size());
  if (ZSTD_isError(n)) return Status::Internal(std::string("zstd: ") + ZSTD_getErrorName(n));
  const std::size_t frame_length = n - sizeof ds::kFrameMagic;
  unsigned char header[ds::kMaxExtHeader];
  const std::size_t header_length = ds::EncodeExtHeader(header, frame_length);
  if (!must && header_length + frame_length >= blob.size()) return blob;
  if (header_length + frame_length > format::kMaxPayloadLength) {
    return Status::Other("object of " + std::to_string(blob.size()) + " bytes does not compress to a record");
  }
  char* start = scratch.data() + ds::kMaxExtHeader - header_length;
  std::memcpy(start, header, header_length);
  return std::string_view(start, header_length + frame_length);
}

Result<std::unique_ptr<RecordExpander>> RecordExpander::Create(std::string_view dictionary) {
  std::unique_ptr<RecordExpander> out(new RecordExpander());
  out->dctx_ = ZSTD_createDCtx();
  out->ddict_ = ZSTD_createDDict(dictionary.data(), dictionary.size());
  if (out->dctx_ == nullptr || out->ddict_ == nullptr) {
    return Status::Corrupt("compression dictionary of " + std::to_string(dictionary.size()) +
                           " bytes is not one zstd reads");
  }
  // Records leave the frame magic out; the decoder is told so once, and
  // decodes them where they lie in the mapping.
  std::size_t r = ZSTD_DCtx_setParameter(out->dctx_, ZSTD_d_format, ZSTD_f_zstd1_magicless);
  if (!ZSTD_isError(r)) r = ZSTD_DCtx_refDDict(out->dctx_, out->ddict_);
  if (ZSTD_isError(r)) return Status::Internal(std::string("zstd: ") + ZSTD_getErrorName(r));
  return out;
}

RecordExpander::~RecordExpander() {
  ZSTD_freeDDict(ddict_);
  ZSTD_freeDCtx(dctx_);
}

Result<std::optional<RecordExpander::Frame>> RecordExpander::Inspect(std::string_view payload) {
  const std::optional<std::string_view> frame = ds::FrameOf(payload);
  if (!frame) return std::optional<Frame>();
  ZSTD_frameHeader header;
  // A positive answer means the frame is shorter than its own header.
  if (ZSTD_getFrameHeader_advanced(&header, frame->data(), frame->size(), ZSTD_f_zstd1_magicless) != 0 ||
      header.frameType != ZSTD_frame || header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) {
    return Status::Corrupt("compressed record of " + std::to_string(payload.size()) +
                           " bytes has a damaged frame header");
  }
  const unsigned long long size = header.frameContentSize;
  if (size > MaxDecodedSize(frame->size()) || size > format::kMaxPayloadLength) {
    return Status::Corrupt("compressed record of " + std::to_string(payload.size()) + " bytes claims " +
                           std::to_string(size) + " decoded bytes");
  }
  return std::optional<Frame>(Frame{*frame, static_cast<std::size_t>(size)});
}

Status RecordExpander::ExpandInto(const Frame& frame, char* out) {
  const std::size_t n = ZSTD_decompressDCtx(dctx_, out, frame.size, frame.data.data(), frame.data.size());
  if (ZSTD_isError(n)) return ZstdError("compressed record does not decompress", n);
  if (n != frame.size) {
    return Status::Corrupt("compressed record decoded to " + std::to_string(n) + " bytes, its header says " +
                           std::to_string(frame.size));
  }
  return {};
}

Result<std::string_view> RecordExpander::Expand(std::string_view payload, std::string& scratch) {
  // Most records fit the scratch buffer as it stands: decoding into it at
  // once spares reading the frame header twice (zstd holds the decoded
  // size to the header's itself).  Only a record too big for it is sized
  // first, and the buffer grown.
  if (const std::optional<std::string_view> data = ds::FrameOf(payload); data && !scratch.empty()) {
    const std::size_t n =
        ZSTD_decompressDCtx(dctx_, scratch.data(), scratch.size(), data->data(), data->size());
    if (!ZSTD_isError(n)) return std::string_view(scratch.data(), n);
    if (ZSTD_getErrorCode(n) != ZSTD_error_dstSize_tooSmall) {
      return ZstdError("compressed record does not decompress", n);
    }
  }
  Result<std::optional<Frame>> frame = Inspect(payload);
  if (!frame.ok()) return std::move(frame).status();
  if (!frame.value()) return payload;
  const std::size_t size = frame.value()->size;
  if (scratch.size() < size) scratch.resize(std::max(size, 2 * scratch.size()));
  if (Status s = ExpandInto(*frame.value(), scratch.data()); !s.ok()) return s;
  return std::string_view(scratch.data(), size);
}

StreamExpander::StreamExpander() : dctx_(ZSTD_createDCtx()) {
  if (dctx_ == nullptr) throw std::bad_alloc();
}

StreamExpander::~StreamExpander() { ZSTD_freeDCtx(dctx_); }

Result<std::string> StreamExpander::Next(std::string_view data, std::size_t max_length) {
  input_.erase(0, used_);
  input_.append(data);
  used_ = 0;
  std::string out(max_length, '\0');
  ZSTD_inBuffer in{input_.data(), input_.size(), 0};
  ZSTD_outBuffer sink{out.data(), out.size(), 0};
  // One call decodes up to the end of a frame; the loop goes on into the
  // next frame while there is input and room.  An empty piece of input at
  // a frame's end must not count as a frame begun.
  do {
    if (in.pos == in.size && at_frame_end_) break;
    const std::size_t r = ZSTD_decompressStream(dctx_, &sink, &in);
    if (ZSTD_isError(r)) return ZstdError("not zstd data", r);
    at_frame_end_ = r == 0;
  } while (sink.pos < sink.size && in.pos < in.size);
  used_ = in.pos;
  // Room left over means the decoder holds no more output for this input.
  needs_input_ = in.pos == in.size && sink.pos < sink.size;
  out.resize(sink.pos);
  return out;
}

}  // namespace vorl::engine
