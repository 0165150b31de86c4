#include "engine/store_reader.h"

#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/crc32.h"
#include "core/format.h"
#include "engine/bindings.h"
#include "engine/compression_figures.h"
#include "engine/errors.h"
#include "engine/gc_slots.h"
#include "engine/keys.h"
#include "engine/sequence.h"

namespace vorl::engine {
namespace {

nb::object BytesOf(std::string_view payload) { return nb::bytes(payload.data(), payload.size()); }

// The Decoder `decoder` is, or null for None; TypeError for anything else.
Decoder* DecoderOf(nb::handle decoder) {
  if (decoder.is_none()) return nullptr;
  if (!nb::isinstance<Decoder>(decoder)) throw nb::type_error("decoder must be a Decoder or None");
  return nb::cast<Decoder*>(decoder);
}

}  // namespace

StoreReader::StoreReader(const nb::bytes& path, bool verify, bool check_reads)
    : path_(path.c_str(), path.size()), check_reads_(check_reads) {
  reader_ = Unwrap(Reader::Open(path_, verify), path_);
  if (reader_->dictionary().empty()) return;
  expander_ = Unwrap(RecordExpander::Create(reader_->dictionary()), path_);
  // A compressed store's records are always checked: a damaged frame can
  // decode to wrong bytes, and a damaged extension header can pass a
  // compressed record off as a raw one.  The check covers the stored bytes,
  // a third of the decoded ones.
  check_reads_ = true;
}

nb::object StoreReader::ExpandedBytes(std::string_view stored) const {
  if (!expander_) return BytesOf(stored);
  const std::optional<RecordExpander::Frame> frame = Settle(RecordExpander::Inspect(stored));
  if (!frame) return BytesOf(stored);
  nb::object out = nb::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(frame->size)));
  if (!out.is_valid()) throw nb::python_error();
  Settle(expander_->ExpandInto(*frame, PyBytes_AS_STRING(out.ptr())));
  return out;
}

std::string_view StoreReader::Intact(std::string_view payload, nb::handle key, std::uint64_t offset) const {
  if (!check_reads_ || payload.data() == nullptr) return payload;
  const auto* p = reinterpret_cast<const unsigned char*>(payload.data());
  if (crc32::Value(p, payload.size()) == format::StoredPayloadCrc(p)) [[likely]]
    return payload;
  // A page that vanished under the read explains the mismatch better.
  Settle(Status());
  const std::string where =
      key.is_none() ? "at offset " + std::to_string(offset) : std::string("of key ") + nb::repr(key).c_str();
  throw Failure(FailureKind::kCorrupt, "object CRC32 mismatch " + where, path_);
}

const Reader& StoreReader::Get() const {
  if (reader_ == nullptr) throw Failure(FailureKind::kClosed, "I/O operation on closed store", path_);
  return *reader_;
}

nb::object StoreReader::CopyOf(nb::handle key, bool expand) const {
  const Reader& reader = Get();
  const KeyArg k(key);
  const std::optional<std::string_view> found = Settle(reader.FindObject(k.bytes()));
  if (!found) return nb::none();
  const std::string_view stored = Intact(*found, key);
  nb::object copy = expand ? ExpandedBytes(stored) : BytesOf(stored);
  Settle(Status());  // the copy is good only if the file did not shrink under it
  return copy;
}

nb::object StoreReader::Dictionary() const {
  const std::string& dictionary = Get().dictionary();
  return dictionary.empty() ? nb::none() : BytesOf(dictionary);
}

std::vector<std::optional<std::string_view>> StoreReader::FindAll(const Items& keys) const {
  const Reader& reader = Get();
  const std::size_t n = keys.size();
  // Every key is converted before the first lookup, so that the core can
  // hash the whole batch and overlap the lookups' cache misses.
  std::vector<KeyArg> args;
  std::vector<std::string_view> views;
  args.reserve(n);
  views.reserve(n);
  for (std::size_t i = 0; i < n; ++i) views.push_back(args.emplace_back(keys[i]).bytes());
  std::vector<std::optional<std::string_view>> found(n);
  Settle(reader.FindObjects(views, found));
  for (std::size_t i = 0; i < n; ++i) {
    if (found[i]) found[i] = Intact(*found[i], keys[i]);
  }
  return found;
}

nb::list StoreReader::GetManyRaw(nb::handle keys) const {
  const Items items(keys, "keys must be iterable");
  const std::vector<std::optional<std::string_view>> found = FindAll(items);
  const std::size_t n = items.size();
  nb::list out = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out.is_valid()) throw nb::python_error();
  for (std::size_t i = 0; i < n; ++i) {
    nb::object value = found[i] ? ExpandedBytes(*found[i]) : nb::none();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), value.release().ptr());
  }
  Settle(Status());  // the copies are good only if the file did not shrink under them
  return out;
}

nb::list StoreReader::GetMany(nb::handle keys, nb::handle missing) const {
  const Items items(keys, "keys must be iterable");
  const std::vector<std::optional<std::string_view>> found = FindAll(items);
  const std::size_t n = items.size();
  nb::list out = nb::steal<nb::list>(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!out.is_valid()) throw nb::python_error();
  // Each record is decoded straight from the mapping (or the one scratch
  // buffer it is decompressed into); what the decoder leaves waits in the
  // list as bytes for the fallback, which runs Python code and so comes
  // after the last read of the mapping.  The list is nobody else's yet.
  std::vector<std::size_t> left;
  {
    CollectorPause pause;
    for (std::size_t i = 0; i < n; ++i) {
      PyObject* obj = nullptr;
      if (!found[i]) {
        obj = nb::borrow(missing).release().ptr();
      } else {
        const std::string_view data = Settle(Expand(*found[i], scratch_));
        obj = decoder_ == nullptr ? nullptr : decoder_->TryDecode(data);
        if (obj == nullptr) {
          obj = BytesOf(data).release().ptr();
          if (decoder_ != nullptr) left.push_back(i);
        }
      }
      PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), obj);
    }
  }
  Settle(Status());
  if (left.empty()) return out;
  // The fallback may replace the decoder: hold on to this one.
  const nb::object keep = decoder_object_;
  Decoder* const decoder = decoder_;
  for (const std::size_t i : left) {
    nb::object obj =
        decoder->Fallback(items[i], nb::borrow(PyList_GET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i))));
    if (PyList_SetItem(out.ptr(), static_cast<Py_ssize_t>(i), obj.release().ptr()) != 0)
      throw nb::python_error();
  }
  return out;
}

bool StoreReader::Contains(nb::handle key) const {
  const Reader& reader = Get();
  const KeyArg k(key);
  return Settle(reader.Find(k.bytes())).has_value();
}

nb::object StoreReader::GetObject(nb::handle key, nb::handle missing) const {
  const Reader& reader = Get();
  const KeyArg k(key);
  std::optional<std::string_view> found = Settle(reader.FindObject(k.bytes()));
  if (!found) return nb::borrow(missing);
  const std::string_view data = Settle(Expand(Intact(*found, key), scratch_));
  nb::object obj = decoder_ == nullptr ? nb::object() : nb::steal(decoder_->TryDecode(data));
  nb::object raw = obj.is_valid() ? nb::object() : BytesOf(data);
  // A page that vanished under the read shows only now.  Settled before the
  // fallback runs Python code, which may close this reader.
  Settle(Status());
  if (obj.is_valid() || decoder_ == nullptr) return obj.is_valid() ? obj : raw;
  // That code may also replace the decoder: hold on to this one.
  const nb::object keep = decoder_object_;
  return decoder_->Fallback(key, raw);
}

void StoreReader::set_decoder(nb::handle decoder) {
  decoder_ = DecoderOf(decoder);
  decoder_object_ = nb::borrow(decoder);
}

std::pair<std::size_t, std::size_t> StoreReader::Bounds(nb::handle start, nb::handle stop) const {
  const Reader& reader = Get();
  const std::size_t first = start.is_none() ? 0 : Settle(reader.LowerBound(KeyArg(start).bytes()));
  const std::size_t last =
      stop.is_none() ? reader.num_entries() : Settle(reader.LowerBound(KeyArg(stop).bytes()));
  return {first, std::max(first, last)};
}

std::pair<std::size_t, std::size_t> StoreReader::PrefixBounds(nb::handle prefix) const {
  const Reader& reader = Get();
  const KeyArg key(prefix);
  // Two binary searches rather than a walk to the end of the run, so that a
  // lazy walk over a long run starts at once.
  return Settle(reader.PrefixRange(key.bytes()));
}

nb::dict StoreReader::Stats() const {
  const Reader& reader = Get();
  const ReaderStats stats = reader.Stats();
  nb::dict out;
  out["path"] = PathToPython(path_);
  out["version"] = stats.version;
  out["num_keys"] = stats.num_keys;
  out["num_objects"] = stats.num_objects;
  out["index_offset"] = stats.index_offset;
  out["data_offset"] = stats.data_offset;
  out["file_size"] = stats.file_size;
  out["file_crc32"] = Crc32Text(stats.file_crc32);
  out["hash_index"] = reader.has_hash_index();
  out["compression"] = expander_ ? nb::object(CompressionStats()) : nb::none();
  return out;
}

nb::dict StoreReader::CompressionStats() const {
  const Reader& reader = Get();
  const CompressionFigures figures = Settle(MeasureCompression(reader, kFiguresSample));
  nb::dict out;
  out["codec"] = "zstd";
  out["dictionary_size"] = reader.dictionary().size();
  out["compressed_objects"] = figures.compressed_objects;
  out["stored_bytes"] = figures.stored_bytes;
  out["decoded_bytes"] = figures.decoded_bytes;
  out["ratio"] = figures.ratio;
  out["estimated"] = figures.estimated;
  return out;
}

void StoreReader::Verify() const { Settle(Get().Verify()); }

void StoreReader::Settle(const Status& status) const {
  Check(Get().CheckUnchanged(), path_);
  if (!status.ok()) Check(status, path_);
}

nb::list StoreReader::ObjectsRaw() const {
  const Reader& reader = Get();
  nb::list out;
  Settle(reader.VisitLiveObjects([&](std::uint64_t offset, std::string_view payload) {
    out.append(ExpandedBytes(Intact(payload, nb::none(), offset)));
  }));
  return out;
}

Cursor::Cursor(nb::object reader, std::size_t begin, std::size_t end, bool reverse, Yield what,
               nb::object decoder, bool bytes_keys)
    : reader_owner_(std::move(reader)),
      reader_(&nb::cast<StoreReader&>(reader_owner_)),
      lo_(begin),
      hi_(std::max(begin, std::min(end, reader_->num_entries()))),
      reverse_(reverse),
      what_(what),
      decoder_(DecoderOf(decoder)),
      decoder_owner_(std::move(decoder)),
      bytes_keys_(bytes_keys) {}

void Cursor::Clear() {
  reader_ = nullptr;
  decoder_ = nullptr;
  lo_ = hi_;
  pos_ = 0;
  fetched_.clear();
  // What the members held goes last, once the cursor is consistent.
  std::vector<nb::object> keys = std::move(keys_), items = std::move(items_);
  keys_.clear();
  items_.clear();
  undecoded_.clear();
  nb::object reader = std::exchange(reader_owner_, nb::none());
  nb::object decoder = std::exchange(decoder_owner_, nb::none());
}

void Cursor::Refill(const Reader& reader) {
  const std::size_t n = std::min(batch_, hi_ - lo_);
  const std::size_t begin = reverse_ ? hi_ - n : lo_;
  const std::size_t end = begin + n;
  keys_.clear();
  items_.clear();
  undecoded_.clear();
  pos_ = 0;
  // First the views, then the objects: the records lie in write order, not
  // key order, so each is a cache miss, and fetching them in a loop of their
  // own lets the processor overlap the misses of several entries.
  fetched_.clear();
  reader_->Settle(reader.VisitLiveEntries(begin, end, [&](std::size_t, const EntryView& entry) -> Status {
    fetched_.push_back({entry.key, entry.object_offset, {}});
    return {};
  }));
  if (what_ != Yield::kKeys) {
    expanded_.resize(std::max(expanded_.size(), fetched_.size()));
    for (std::size_t i = 0; i < fetched_.size(); ++i) {
      Fetched& f = fetched_[i];
      const std::string_view stored =
          reader_->Intact(reader_->Settle(reader.ObjectView(f.offset)), nb::none(), f.offset);
      f.payload = reader_->Settle(reader_->Expand(stored, expanded_[i]));
    }
  }
  {
    CollectorPause pause;
    for (const Fetched& f : fetched_) {
      nb::object key = what_ == Yield::kValues ? nb::object() : KeyToPython(f.key, bytes_keys_);
      PyObject* obj = decoder_ == nullptr || what_ == Yield::kKeys ? nullptr : decoder_->TryDecode(f.payload);
      const bool undecoded = obj == nullptr && decoder_ != nullptr && what_ != Yield::kKeys;
      nb::object item;
      if (what_ == Yield::kKeys) {
        item = key;
      } else {
        item = obj != nullptr ? nb::steal(obj) : BytesOf(f.payload);
        if (what_ == Yield::kItems && !undecoded) item = nb::make_tuple(key, item);
      }
      keys_.push_back(std::move(key));
      items_.push_back(std::move(item));
      undecoded_.push_back(undecoded);
    }
  }
  // The objects were read from the mapping: they are good only if no page
  // of it vanished meanwhile.
  reader_->Settle(Status());
  if (reverse_) {
    std::reverse(keys_.begin(), keys_.end());
    std::reverse(items_.begin(), items_.end());
    std::reverse(undecoded_.begin(), undecoded_.end());
    hi_ = begin;
  } else {
    lo_ = end;
  }
  batch_ = std::min(batch_ * 2, kMaxBatch);
}

nb::object Cursor::Next() {
  if (reader_ == nullptr) throw nb::stop_iteration();
  const Reader& reader = reader_->Get();
  if (pos_ == items_.size()) {
    do {
      if (lo_ >= hi_) throw nb::stop_iteration();
      Refill(reader);
    } while (items_.empty());
  }
  nb::object item = items_[pos_];
  if (undecoded_[pos_]) {
    const nb::handle key = what_ == Yield::kItems ? nb::handle(keys_[pos_]) : nb::none();
    item = decoder_->Fallback(key, item);
    if (what_ == Yield::kItems) item = nb::make_tuple(keys_[pos_], item);
  }
  // Only now: a decode that raised leaves the item to be tried again.
  ++pos_;
  return item;
}

void BindReader(nb::module_& m) {
  nb::class_<StoreReader>(m, "Reader", "An open store file: exact lookups, ranges of sorted entries, checks.",
                          nb::type_slots(GcSlots<StoreReader>()))
      .def(nb::init<const nb::bytes&, bool, bool>(), nb::arg("path"), nb::arg("verify") = true,
           nb::arg("check_reads") = false)
      .def("get_stored", &StoreReader::GetStored, nb::arg("key"),
           nb::sig("def get_stored(self, key: str | bytes | bytearray, /) -> bytes | None"),
           "The record's bytes as stored: compressed in a compressed store.")
      .def_prop_ro("dictionary", &StoreReader::Dictionary, nb::sig("def dictionary(self) -> bytes | None"),
                   "The store's compression dictionary, or None.")
      .def("get_raw", &StoreReader::GetRaw, nb::arg("key"),
           nb::sig("def get_raw(self, key: str | bytes | bytearray, /) -> bytes | None"),
           "The stored bytes for `key`, or None.")
      .def("get_many", &StoreReader::GetMany, nb::arg("keys"), nb::arg("missing").none(),
           nb::sig(
               "def get_many(self, keys: collections.abc.Iterable[str | bytes | bytearray], missing: object, "
               "/) -> list[object]"),
           "The object (or `missing`) for each key, in order, as `get` decodes it.")
      .def("get_many_raw", &StoreReader::GetManyRaw, nb::arg("keys"),
           nb::sig("def get_many_raw(self, keys: collections.abc.Iterable[str | bytes | bytearray], /) "
                   "-> list[bytes | None]"),
           "The stored bytes (or None) for each key, in order.")
      .def("contains", &StoreReader::Contains, nb::arg("key"),
           nb::sig("def contains(self, key: str | bytes | bytearray, /) -> bool"))
      .def("__len__", &StoreReader::num_entries)
      .def("bounds", &StoreReader::Bounds, nb::arg("start").none(), nb::arg("stop").none(),
           nb::sig("def bounds(self, start: str | bytes | bytearray | None, stop: str | bytes | bytearray | "
                   "None, /) -> tuple[int, int]"),
           "Entries [i, j) whose keys lie in [start, stop); None leaves a side open.")
      .def("prefix_bounds", &StoreReader::PrefixBounds, nb::arg("prefix"),
           nb::sig("def prefix_bounds(self, prefix: str | bytes | bytearray, /) -> tuple[int, int]"),
           "Entries [i, j) whose keys start with `prefix`.")
      .def(
          "cursor",
          [](nb::handle self, std::size_t begin, std::size_t end, bool reverse, int what, nb::handle decoder,
             bool bytes_keys) {
            if (what < 0 || what > 2) throw nb::value_error("what must be 0 (keys), 1 (values) or 2 (items)");
            nb::cast<StoreReader&>(self).Get();
            return new Cursor(nb::borrow(self), begin, end, reverse, static_cast<Cursor::Yield>(what),
                              nb::borrow(decoder), bytes_keys);
          },
          nb::arg("begin"), nb::arg("end"), nb::arg("reverse") = false, nb::arg("what") = 2,
          nb::arg("decoder").none() = nb::none(), nb::arg("bytes_keys") = false,
          nb::sig("def cursor(self, begin: int, end: int, reverse: bool = False, what: int = 2, "
                  "decoder: Decoder | None = None, bytes_keys: bool = False) -> Cursor"),
          "A lazy walk over entries [begin, end): what is 0 for keys, 1 for values, 2 for (key, value).")
      .def("get", &StoreReader::GetObject, nb::arg("key"), nb::arg("missing").none(),
           nb::sig("def get(self, key: str | bytes | bytearray, missing: object, /) -> object"),
           "The object stored under `key` as the decoder reads it (its bytes without one), or `missing`.")
      .def_prop_rw("decoder", &StoreReader::decoder, &StoreReader::set_decoder, nb::arg("value").none(),
                   "What `get` decodes with: a Decoder, or None for the stored bytes.")
      .def("stats", &StoreReader::Stats, nb::sig("def stats(self) -> dict[str, int | str | bool]"))
      .def("verify", &StoreReader::Verify, "Checks every checksum; raises on the first mismatch.")
      .def("objects_raw", &StoreReader::ObjectsRaw, nb::sig("def objects_raw(self) -> list[bytes]"),
           "Each object some key refers to, once.")
      .def("close", &StoreReader::Close)
      .def_prop_ro("closed", &StoreReader::closed)
      .def_prop_ro("path",
                   [](const StoreReader& self) { return nb::bytes(self.path().data(), self.path().size()); });

  nb::class_<Cursor>(m, "Cursor", "A lazy walk over a range of a reader's entries.",
                     nb::type_slots(GcSlots<Cursor>()))
      .def(
          "__iter__", [](nb::handle self) { return nb::borrow(self); },
          nb::sig("def __iter__(self) -> Cursor"))
      .def("__next__", &Cursor::Next, nb::sig("def __next__(self) -> object"));
}

}  // namespace vorl::engine
