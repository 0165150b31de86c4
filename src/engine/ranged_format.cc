// The store format for readers that hold a file only in pieces: a store read
// by byte ranges from object storage fetches a few pieces at known offsets
// and hands each to one of these functions, which decode it with the core's
// codecs (format.h, hash_section.h, dictionary_section.h) and the engine's
// record compression.  Python does the I/O; the format is
// read only here and in the core.  Every function is stateless, checks each
// bound of the bytes it is given, and names `name` (the store's URL) in the
// errors it raises.

#include <nanobind/stl/string.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "core/coding.h"
#include "core/dictionary_section.h"
#include "core/crc32.h"
#include "core/format.h"
#include "core/hash_section.h"
#include "core/stable_hash.h"
#include "engine/bindings.h"
#include "engine/compression.h"
#include "engine/errors.h"
#include "engine/compression_figures.h"
#include "engine/keys.h"

namespace vorl::engine {
namespace {

namespace ds = dictionary_section;
namespace hs = hash_section;

const unsigned char* Data(const nb::bytes& b) { return reinterpret_cast<const unsigned char*>(b.c_str()); }

// Adds the layout of the hash index section whose trailer lies in the
// last hs::kTrailerSize bytes before `end` (where the section ends) to
// `out`, when that trailer is intact and was built for this header.
void AddSection(nb::dict& out, const unsigned char* trailer, std::uint64_t end, const format::Header& header) {
  const std::optional<SectionLayout> section =
      ReadTrailer(trailer, end, StoreHeaderFields{header.num_keys, header.index_offset});
  if (!section) return;
  out["index_length"] = section->index_length;
  out["slots_offset"] = section->slots_offset;
  out["order_offset"] = section->order_offset;
  out["capacity"] = section->capacity;
  out["seed"] = section->seed;
  out["max_probe"] = section->max_probe;
  out["width"] = section->width;
  out["slot_size"] = hs::SlotSize(section->width);
}

format::Header HeaderOf(const nb::bytes& head, std::uint64_t size, const std::string& name) {
  if (head.size() < format::kHeaderSize && head.size() != size) {
    throw Failure(FailureKind::kInternal, "ranged_layout needs the whole header", name);
  }
  return Unwrap(format::DecodeHeader(Data(head), size), name);
}

// The header fields, the dictionary section's trailer when the file ends in
// one, and the hash index section's layout when the file has a usable one.
// `head` holds the file's first bytes (at least the header, or the whole
// file when it is shorter), `tail` its last bytes.  A compressed store's
// hash index ends where its dictionary starts: when `tail` does not reach
// back to that section's trailer, "section_trailer" says where it starts,
// for ranged_section.
nb::dict Layout(const nb::bytes& head, const nb::bytes& tail, std::uint64_t size, const std::string& name) {
  const format::Header header = HeaderOf(head, size, name);
  nb::dict out;
  out["num_keys"] = header.num_keys;
  out["num_objects"] = header.num_objects;
  out["index_offset"] = header.index_offset;
  out["file_crc32"] = header.file_crc32;
  if (tail.size() > size) throw Failure(FailureKind::kInternal, "tail longer than the file", name);
  std::uint64_t sections_end = size;
  if (tail.size() >= ds::kTrailerSize) {
    const std::optional<ds::Trailer> trailer =
        Unwrap(ds::DecodeTrailer(Data(tail) + tail.size() - ds::kTrailerSize, size), name);
    if (trailer) {
      out["dict_offset"] = trailer->section_offset;
      out["dict_length"] = trailer->dict_length;
      out["dict_crc"] = trailer->dict_crc;
      sections_end = trailer->section_offset;
    }
  }
  const std::uint64_t tail_start = size - tail.size();
  if (sections_end >= tail_start && sections_end - tail_start >= hs::kTrailerSize) {
    AddSection(out, Data(tail) + (sections_end - tail_start) - hs::kTrailerSize, sections_end, header);
  } else if (sections_end >= format::kHeaderSize + hs::kTrailerSize) {
    out["section_trailer"] = sections_end - hs::kTrailerSize;
  }
  return out;
}

// The hash index section's layout from its trailer, the last bytes of
// `piece`, which ends at file offset `end`; empty when there is none.
nb::dict Section(const nb::bytes& head, const nb::bytes& piece, std::uint64_t end, std::uint64_t size,
                 const std::string& name) {
  const format::Header header = HeaderOf(head, size, name);
  if (end > size) throw Failure(FailureKind::kInternal, "section end past the file", name);
  nb::dict out;
  if (piece.size() >= hs::kTrailerSize) AddSection(out, Data(piece) + piece.size() - hs::kTrailerSize, end, header);
  return out;
}

// The key's bytes, its home slot and its fingerprint in a section of
// `capacity` slots hashed with `seed`.
std::tuple<nb::bytes, std::uint64_t, std::uint32_t> Probe(nb::handle key, std::uint64_t seed,
                                                          std::uint64_t capacity) {
  const KeyArg k(key);
  const std::uint64_t hash = StableHasher(seed)(k.bytes());
  return {nb::bytes(k.bytes().data(), k.bytes().size()), hs::HomeSlot(hash, capacity),
          hs::FingerprintOf(hash)};
}

// The (entry position, hinted record offset) of each slot in `slots`, a run
// read from a key's home, whose fingerprint matches; the run ends at the
// first free slot.
nb::list Slots(const nb::bytes& slots, unsigned width, std::uint32_t fingerprint) {
  if (width < hs::kMinWidth || width > hs::kMaxWidth) throw nb::value_error("bad slot width");
  const std::uint64_t slot_size = hs::SlotSize(width);
  nb::list out;
  for (std::uint64_t at = 0; slots.size() - at >= slot_size; at += slot_size) {
    const unsigned char* s = Data(slots) + at;
    const std::uint64_t position_plus_one = hs::LoadWidth(s + hs::kFingerprintSize, width);
    if (position_plus_one == 0) break;
    if (LoadBE16(s) != fingerprint) continue;
    const std::uint64_t hint = std::uint64_t{LoadBE32(s + hs::kFingerprintSize + width)} << hs::kHintShift;
    out.append(nb::make_tuple(position_plus_one - 1, hint));
  }
  return out;
}

// The entry at `pos` of `buf`: (key, object offset, position after it), or
// None when `buf` ends inside it.
nb::object Entry(const nb::bytes& buf, std::uint64_t pos) {
  format::Entry entry;
  if (!format::DecodeEntry(Data(buf), buf.size(), pos, &entry).ok()) return nb::none();
  return nb::make_tuple(nb::bytes(entry.key.data(), entry.key.size()), entry.offset, entry.next);
}

// The payload of the record at file offset `offset`, whose bytes start at
// `pos` of `buf`, checked against the file's size and its own CRC; or, when
// `buf` ends before the record does, how many bytes from `pos` it needs.
nb::object Record(const nb::bytes& buf, std::uint64_t pos, std::uint64_t offset, std::uint64_t size,
                  const std::string& name) {
  if (offset > size || size - offset < format::kRecordHeaderSize) {
    throw Failure(FailureKind::kCorrupt, "object offset " + std::to_string(offset) + " out of bounds", name);
  }
  if (pos > buf.size()) throw nb::value_error("position past the buffer");
  const std::uint64_t have = buf.size() - pos;
  if (have < format::kRecordHeaderSize) return nb::int_(format::kRecordHeaderSize);
  const unsigned char* p = Data(buf) + pos;
  const std::uint64_t length = LoadBE32(p);
  if (length > size - offset - format::kRecordHeaderSize) {
    throw Failure(FailureKind::kCorrupt, "object at " + std::to_string(offset) + " extends beyond file end",
                  name);
  }
  if (have - format::kRecordHeaderSize < length) return nb::int_(format::kRecordHeaderSize + length);
  const unsigned char* payload = p + format::kRecordHeaderSize;
  if (crc32::Value(payload, length) != LoadBE32(p + 4)) {
    throw Failure(FailureKind::kCorrupt, "object CRC32 mismatch at offset " + std::to_string(offset), name);
  }
  return nb::bytes(payload, length);
}

// A compressed store's dictionary, prepared once, turning checked payloads
// into MessagePack.  Not thread-safe; it runs under the GIL.
class Expander {
 public:
  Expander(const nb::bytes& dictionary, std::uint32_t crc, const std::string& name) : name_(name) {
    const std::string_view bytes(dictionary.c_str(), dictionary.size());
    ds::Trailer trailer;
    trailer.dict_length = static_cast<std::uint32_t>(bytes.size());
    trailer.dict_crc = crc;
    Check(ds::CheckDictionary(bytes, trailer), name_);
    expander_ = Unwrap(RecordExpander::Create(bytes), name_);
  }

  // The MessagePack bytes of `payload`: a new bytes object decompressed
  // into, or `payload` itself when it is not a compressed record.
  nb::object Expand(const nb::bytes& payload) {
    const std::optional<RecordExpander::Frame> frame = Unwrap(RecordExpander::Inspect(View(payload)), name_);
    if (!frame) return nb::borrow(payload);
    nb::object out = nb::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(frame->size)));
    if (!out.is_valid()) throw nb::python_error();
    Check(expander_->ExpandInto(*frame, PyBytes_AS_STRING(out.ptr())), name_);
    return out;
  }

  // The decoded size of `payload`, or None when it is not compressed.
  std::optional<std::size_t> DecodedSize(const nb::bytes& payload) {
    const std::optional<RecordExpander::Frame> frame = Unwrap(RecordExpander::Inspect(View(payload)), name_);
    return frame ? std::optional<std::size_t>(frame->size) : std::nullopt;
  }

 private:
  static std::string_view View(const nb::bytes& b) { return std::string_view(b.c_str(), b.size()); }

  std::string name_;
  std::unique_ptr<RecordExpander> expander_;
};

// The CRC-32 of `data` continued from `crc`, for a whole-file check that
// streams the file.
std::uint32_t Crc(std::uint32_t crc, const nb::bytes& data) {
  const nb::gil_scoped_release unlocked;  // bytes are immutable: nothing can change them meanwhile
  return crc32::Extend(crc, Data(data), data.size());
}

}  // namespace

void BindRangedFormat(nb::module_& m) {
  m.def("ranged_layout", &Layout, nb::arg("head"), nb::arg("tail"), nb::arg("size"), nb::arg("name"),
        nb::sig("def ranged_layout(head: bytes, tail: bytes, size: int, name: str) -> dict[str, int]"),
        "The header fields, a compressed store's dictionary trailer and, when the file has a usable hash "
        "index, where its parts lie.");
  m.def("ranged_section", &Section, nb::arg("head"), nb::arg("piece"), nb::arg("end"), nb::arg("size"),
        nb::arg("name"),
        nb::sig("def ranged_section(head: bytes, piece: bytes, end: int, size: int, name: str) -> dict[str, int]"),
        "The hash index section's layout from the bytes before `end`, where it ends; empty when there is none.");
  nb::class_<Expander>(m, "RangedExpander",
                       "A compressed store's dictionary, checked against its CRC and prepared for decoding.")
      .def(nb::init<const nb::bytes&, std::uint32_t, const std::string&>(), nb::arg("dictionary"),
           nb::arg("crc"), nb::arg("name"))
      .def("expand", &Expander::Expand, nb::arg("payload"),
           nb::sig("def expand(self, payload: bytes) -> bytes"),
           "The MessagePack bytes of a checked record payload.")
      .def("decoded_size", &Expander::DecodedSize, nb::arg("payload"),
           "The decoded size of a checked record payload, or None when it is not compressed.");
  m.def("ranged_probe", &Probe, nb::arg("key"), nb::arg("seed"), nb::arg("capacity"),
        nb::sig("def ranged_probe(key: str | bytes | bytearray, seed: int, capacity: int) -> tuple[bytes, int, int]"),
        "(key bytes, home slot, fingerprint) of `key` in a hash index section.");
  m.def("ranged_slots", &Slots, nb::arg("slots"), nb::arg("width"), nb::arg("fingerprint"),
        nb::sig("def ranged_slots(slots: bytes, width: int, fingerprint: int) -> list[tuple[int, int]]"),
        "(entry position, hinted record offset) of the slots of a run whose fingerprint matches.");
  m.def("ranged_entry", &Entry, nb::arg("buf"), nb::arg("pos"),
        nb::sig("def ranged_entry(buf: bytes, pos: int) -> tuple[bytes, int, int] | None"),
        "(key, object offset, next position) of the entry at `pos`, or None when `buf` ends inside it.");
  m.def("ranged_record", &Record, nb::arg("buf"), nb::arg("pos"), nb::arg("offset"), nb::arg("size"),
        nb::arg("name"),
        nb::sig("def ranged_record(buf: bytes, pos: int, offset: int, size: int, name: str) -> bytes | int"),
        "The checked payload of the record at `pos`, or the byte count it needs when `buf` is short.");
  // The sample a compressed store's figures are measured on, so that a store
  // read by ranges states the same figures as a mapped one.
  m.attr("STATS_SAMPLE") = kFiguresSample;
  m.def("ranged_crc", &Crc, nb::arg("crc"), nb::arg("data"), "The CRC-32 of `data` continued from `crc`.");
}

}  // namespace vorl::engine
