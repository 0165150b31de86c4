#include "core/writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "core/coding.h"
#include "core/crc32.h"
#include "core/file.h"
#include "core/format.h"

namespace vorl {
namespace {

constexpr std::string_view kTmpExtension = "vrls.tmp";

// Bounds of the last path component that names a file: trailing slashes and
// "." components are skipped, as a path library would normalise them.  Empty
// when the path names no file (empty, "/", ".", or ending in "..").
struct Component {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool found = false;
};

Component LastFileComponent(std::string_view path) {
  std::size_t end = path.size();
  while (true) {
    while (end > 0 && path[end - 1] == '/') --end;
    const std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    const std::size_t begin = (end == 0 || slash == std::string_view::npos) ? 0 : slash + 1;
    const std::string_view name = path.substr(begin, end - begin);
    if (name == "." && begin > 0) {
      end = begin;
      continue;
    }
    if (name.empty() || name == "." || name == "..") return {};
    return {begin, end, true};
  }
}

// Where the directory holding `path`'s last component is, for syncing it.
std::string ParentDirectory(std::string_view path, const Component& c) {
  std::size_t end = c.begin;
  while (end > 1 && path[end - 1] == '/') --end;
  if (end == 0) return ".";
  return std::string(path.substr(0, end));
}

Status SyncDirectory(const std::string& dir) {
  OpenOutcome opened = OpenFile(dir, O_RDONLY | O_DIRECTORY);
  if (!opened.fd.valid()) return Status::IO("sync dir: " + OpenErrorText(opened.error));
  if (Status s = SyncFd(opened.fd.get()); !s.ok()) return Status::IO("sync dir: " + s.message());
  return {};
}

// Opens the temporary file for writing, empty, and holding an exclusive lock
// on it.  Two builds of one target share the temporary name; without the lock
// both would write into the same file at once and one of them would publish
// the mix.  The lock is taken before the file is truncated, so a waiting build
// never touches bytes another build is writing.  Once it has the lock it
// checks that the name still refers to the file it locked: the build it
// waited for may have renamed that file over the target, and then it starts
// again with a new file.  File systems without locks are used unlocked.
Result<UniqueFd> OpenLockedTemporary(const std::string& tmp_path) {
  while (true) {
    OpenOutcome opened = OpenFile(tmp_path, O_WRONLY | O_CREAT, 0666);
    if (!opened.fd.valid()) return Status::IO("open tmp: " + OpenErrorText(opened.error));
    const int fd = opened.fd.get();
    int locked;
    do {
      locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0 && errno != ENOLCK && errno != EOPNOTSUPP) {
      return Status::IO("open tmp: " + SystemErrorText(errno));
    }
    struct stat by_fd {};
    struct stat by_name {};
    if (::fstat(fd, &by_fd) != 0) return Status::IO("open tmp: " + SystemErrorText(errno));
    if (::stat(tmp_path.c_str(), &by_name) != 0) {
      // Renamed away while we waited (or interrupted): start again.
      if (errno == ENOENT || errno == EINTR) continue;
      return Status::IO("open tmp: " + SystemErrorText(errno));
    }
    if (by_fd.st_dev != by_name.st_dev || by_fd.st_ino != by_name.st_ino) continue;
    int truncated;
    do {
      truncated = ::ftruncate(fd, 0);
    } while (truncated != 0 && errno == EINTR);
    if (truncated != 0) return Status::IO("open tmp: " + SystemErrorText(errno));
    return std::move(opened.fd);
  }
}

// The line a successful build prints: path, counts and size in KiB with one
// decimal (printf's rounding: ties to even on the exact binary value).
std::string SummaryLine(std::string_view path, std::uint64_t objects, std::uint64_t keys,
                        std::uint64_t size) {
  char size_text[64];
  std::snprintf(size_text, sizeof size_text, "%.1f", static_cast<double>(size) / 1024.0);
  std::string line = "\u2705  ";
  line += path;
  line += "  \u2014  ";
  line += std::to_string(objects);
  line += " objects \u00b7 ";
  line += std::to_string(keys);
  line += " keys \u00b7 ";
  line += size_text;
  line += " KB\n";
  return line;
}

Status PrintSummary(const std::string& line) {
  Status s = WriteAll(STDOUT_FILENO, line.data(), line.size(), "failed to write whole buffer");
  if (s.ok()) return s;
  // With no descriptor 1 there is nowhere to print; the line is dropped.
  if (s.message() == SystemErrorText(EBADF)) return {};
  return Status::Internal("failed printing to stdout: " + s.message());
}

}  // namespace

std::string TemporaryPathFor(std::string_view target) {
  const Component c = LastFileComponent(target);
  if (!c.found) return std::string(target);
  const std::string_view name = target.substr(c.begin, c.end - c.begin);
  const std::size_t dot = name.rfind('.');
  // A name without a dot, or whose only dot leads it, has no extension.
  const std::size_t stem_end = (dot == std::string_view::npos || dot == 0) ? c.end : c.begin + dot;
  std::string tmp(target.substr(0, stem_end));
  tmp += '.';
  tmp += kTmpExtension;
  return tmp;
}

unsigned char* Writer::Bytes::Extend(std::size_t n) {
  if (n > capacity_ - size_) {
    // A quarter more each time: few reallocations, little unused room.
    std::size_t capacity = capacity_ + std::max(capacity_ / 4, std::size_t{4096});
    if (capacity < size_ + n) capacity = size_ + n;
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw AllocationFailure(capacity);
    data_ = static_cast<unsigned char*>(grown);
    capacity_ = capacity;
  }
  unsigned char* end = data_ + size_;
  size_ += n;
  return end;
}

Result<std::uint32_t> Writer::AddObject(std::string_view blob) {
  if (blob.size() > format::kMaxPayloadLength) {
    return Status::Other("object of " + std::to_string(blob.size()) +
                         " bytes exceeds the limit of 4294967295 bytes");
  }
  if (object_offsets_.size() >= format::kMaxCount) {
    return Status::Other("too many objects: the limit is 4294967295");
  }
  const auto id = static_cast<std::uint32_t>(object_offsets_.size());
  object_offsets_.push_back(records_.size());
  unsigned char* record;
  try {
    record = records_.Extend(format::kRecordHeaderSize + blob.size());
  } catch (...) {
    object_offsets_.pop_back();  // out of memory leaves the writer as it was
    throw;
  }
  StoreBE32(record, static_cast<std::uint32_t>(blob.size()));
  StoreBE32(record + 4, crc32::Value(blob.data(), blob.size()));
  if (!blob.empty()) std::memcpy(record + format::kRecordHeaderSize, blob.data(), blob.size());
  return id;
}

std::uint64_t& Writer::SlotFor(std::string_view key, std::uint64_t hash) {
  const std::size_t mask = slots_.size() - 1;
  const std::uint64_t tag = hash & 0xFFFFFFFF00000000u;
  for (std::size_t i = Home(hash);; i = (i + 1) & mask) {
    std::uint64_t& slot = slots_[i];
    if (slot == 0) return slot;
    if ((slot & 0xFFFFFFFF00000000u) == tag && KeyOf((slot & 0xFFFFFFFFu) - 1) == key) return slot;
  }
}

void Writer::GrowTable() {
  // Power-of-two sizes, at most three quarters full.
  const int bits = slots_.empty() ? 6 : table_bits_ + 1;
  std::vector<std::uint64_t> old(std::size_t{1} << bits, 0);
  slots_.swap(old);
  table_bits_ = bits;
  const std::size_t mask = slots_.size() - 1;
  for (std::uint64_t slot : old) {
    if (slot == 0) continue;
    // The home slot comes from the top bits of the hash, which the slot
    // keeps while the table has at most 2^32 slots; larger tables hash the
    // key again.  Keys are distinct, so the first empty slot is the place.
    std::uint64_t hash = slot;
    if (table_bits_ > 32) {
      const std::string_view key = KeyOf((slot & 0xFFFFFFFFu) - 1);
      hash = HashBytes(hash_key_, key.data(), key.size());
    }
    std::size_t i = Home(hash);
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

Status Writer::AddKey(std::string_view key, std::uint32_t obj_id) {
  if (obj_id >= object_offsets_.size()) {
    return Status::Other("obj_id " + std::to_string(obj_id) + " out of range (have " +
                         std::to_string(object_offsets_.size()) + " objects)");
  }
  if (key.size() > format::kMaxKeyLength) {
    return Status::Other("key of " + std::to_string(key.size()) + " bytes exceeds the limit of 65535 bytes");
  }
  if ((key_refs_.size() + 1) * 4 > slots_.size() * 3) GrowTable();
  const std::uint64_t hash = HashBytes(hash_key_, key.data(), key.size());
  std::uint64_t& slot = SlotFor(key, hash);
  if (slot != 0) {
    key_ids_[(slot & 0xFFFFFFFFu) - 1] = obj_id;
    return {};
  }
  // Ids fit in 32 bits and every key needs an object, yet many keys may
  // share one object, so the key count needs its own limit.
  if (key_refs_.size() >= format::kMaxCount) return Status::Other("too many keys: the limit is 4294967295");
  const std::size_t pos = key_bytes_.size();
  if (!key.empty()) std::memcpy(key_bytes_.Extend(key.size()), key.data(), key.size());
  key_ids_.push_back(obj_id);
  try {
    key_refs_.push_back((std::uint64_t{pos} << 16) | key.size());
  } catch (...) {
    key_ids_.pop_back();  // out of memory leaves the writer as it was
    throw;
  }
  slot = (hash & 0xFFFFFFFF00000000u) | key_refs_.size();
  return {};
}

namespace {

// One key in the sort: eight of its bytes from `depth` on, big-endian and
// zero-padded, and how many of the eight are key bytes.  Ordering by
// (chunk, real) orders the keys by those bytes, a key that ends first
// coming first; keys that tie on a full chunk go on to the next eight bytes.
struct SortItem {
  std::uint64_t chunk;
  std::uint32_t real;
  std::uint32_t entry;
};

// Ranges at least this long are sorted by radix, shorter ones by comparison.
constexpr std::size_t kRadixMin = 128;

bool ChunkLess(const SortItem& a, const SortItem& b) {
  return a.chunk != b.chunk ? a.chunk < b.chunk : a.real < b.real;
}

// Sorts [first, last) by (chunk, real) in place, most significant chunk byte
// first (an American flag sort).  The most significant byte that not all
// items share splits the range: one pass counts its values, a second swaps
// every item into its value's bucket, and each bucket goes on with the bytes
// below.  Bytes that all items share, such as those of a common prefix, are
// found in one pass and skipped.  Small buckets, and items whose whole chunk
// is equal (left to order by `real`), are sorted by comparison.  Compared
// with std::sort this reads each item a few times instead of about log2(n)
// times, and it needs no second buffer, which would raise the build's peak
// memory.
void RadixSortByChunk(SortItem* first, SortItem* last) {
  const auto n = static_cast<std::size_t>(last - first);
  std::uint64_t differing = 0;
  if (n >= kRadixMin) {
    for (const SortItem* it = first; it != last; ++it) differing |= it->chunk ^ first->chunk;
  }
  if (differing == 0) {  // a small range, or one chunk throughout
    std::sort(first, last, ChunkLess);
    return;
  }
  const int shift = (63 - std::countl_zero(differing)) / 8 * 8;
  auto value = [shift](const SortItem& item) {
    return static_cast<std::size_t>((item.chunk >> shift) & 0xFF);
  };
  std::array<std::size_t, 256> count{};
  for (const SortItem* it = first; it != last; ++it) ++count[value(*it)];
  std::array<std::size_t, 256> next{};  // where the next item of each value goes
  std::array<std::size_t, 256> end{};
  for (std::size_t v = 0, pos = 0; v < 256; ++v) {
    next[v] = pos;
    pos += count[v];
    end[v] = pos;
  }
  // Each item out of place is carried along the cycle of places it
  // displaces until one belongs where it was taken from.
  for (std::size_t v = 0; v < 256; ++v) {
    while (next[v] < end[v]) {
      SortItem carried = first[next[v]];
      for (std::size_t w = value(carried); w != v; w = value(carried)) std::swap(carried, first[next[w]++]);
      first[next[v]++] = carried;
    }
  }
  for (std::size_t v = 0, pos = 0; v < 256; pos += count[v], ++v) {
    if (count[v] > 1) RadixSortByChunk(first + pos, first + pos + count[v]);
  }
}

}  // namespace

std::vector<std::uint32_t> Writer::SortedEntries() const {
  const std::size_t n = key_refs_.size();
  std::vector<SortItem> items(n);
  for (std::size_t i = 0; i < n; ++i) items[i].entry = static_cast<std::uint32_t>(i);
  // Most-significant-chunk-first: sort a range by one 8-byte chunk, then
  // each run that shares a whole chunk by the next one.  Each round reads
  // every key once, instead of every comparison reading two keys.  Small
  // runs compare whole remainders instead.  A stack, not recursion, because
  // long shared prefixes make deep rounds.
  struct Range {
    std::size_t begin, end, depth;
  };
  std::vector<Range> todo = {{0, n, 0}};
  while (!todo.empty()) {
    const Range r = todo.back();
    todo.pop_back();
    const auto first = items.begin() + static_cast<std::ptrdiff_t>(r.begin);
    const auto last = items.begin() + static_cast<std::ptrdiff_t>(r.end);
    if (r.end - r.begin <= 16) {
      std::sort(first, last, [&](const SortItem& a, const SortItem& b) {
        // string_view compares bytes as unsigned char, a proper prefix first.
        return KeyOf(a.entry).substr(r.depth) < KeyOf(b.entry).substr(r.depth);
      });
      continue;
    }
    for (auto it = first; it != last; ++it) {
      const std::string_view key = KeyOf(it->entry);
      const std::size_t left = key.size() - r.depth;  // a run's keys have at least depth bytes
      if (left >= 8) {
        it->chunk = LoadBE64(reinterpret_cast<const unsigned char*>(key.data()) + r.depth);
        it->real = 8;
      } else {
        unsigned char padded[8] = {};
        std::memcpy(padded, key.data() + r.depth, left);
        it->chunk = LoadBE64(padded);
        it->real = static_cast<std::uint32_t>(left);
      }
    }
    RadixSortByChunk(items.data() + r.begin, items.data() + r.end);
    // Keys are distinct, so only runs of whole chunks can tie.
    for (auto run = first; run != last;) {
      auto next = run + 1;
      while (next != last && next->chunk == run->chunk && next->real == run->real) ++next;
      if (next - run > 1) {
        todo.push_back({static_cast<std::size_t>(run - items.begin()),
                        static_cast<std::size_t>(next - items.begin()), r.depth + 8});
      }
      run = next;
    }
  }
  std::vector<std::uint32_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = items[i].entry;
  return order;
}

std::string Writer::IndexSection() const {
  const std::vector<std::uint32_t> order = SortedEntries();
  std::size_t bytes = 0;
  for (std::uint64_t ref : key_refs_) bytes += format::kEntryOverhead + (ref & 0xFFFF);
  std::string index(bytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(index.data());
  for (std::uint32_t entry : order) {
    const std::string_view key = KeyOf(entry);
    StoreBE16(out, static_cast<std::uint16_t>(key.size()));
    if (!key.empty()) std::memcpy(out + 2, key.data(), key.size());
    StoreBE64(out + 2 + key.size(), format::kHeaderSize + object_offsets_[key_ids_[entry]]);
    out += format::kEntryOverhead + key.size();
  }
  return index;
}

Status Writer::Build(std::string_view path, bool print_summary) const {
  const std::string tmp_path = TemporaryPathFor(path);
  const std::string index = IndexSection();
  const std::uint32_t file_crc =
      crc32::Extend(crc32::Value(records_.data(), records_.size()), index.data(), index.size());

  unsigned char header[format::kHeaderSize] = {};
  std::copy(std::begin(format::kMagic), std::end(format::kMagic), header);
  header[format::kVersionPos] = format::kVersion;
  StoreBE32(header + format::kNumKeysPos, static_cast<std::uint32_t>(key_refs_.size()));
  StoreBE32(header + format::kNumObjectsPos, static_cast<std::uint32_t>(object_offsets_.size()));
  StoreBE64(header + format::kIndexOffsetPos, format::kHeaderSize + records_.size());
  StoreBE64(header + format::kDataOffsetPos, format::kHeaderSize);
  StoreBE32(header + format::kFileCrcPos, file_crc);

  {
    Result<UniqueFd> tmp = OpenLockedTemporary(tmp_path);
    if (!tmp.ok()) return std::move(tmp).status();
    BufferedWriter out(tmp.value().get());
    Status s = out.Append(header, sizeof header);
    if (s.ok()) s = out.Append(records_.data(), records_.size());
    if (s.ok()) s = out.Append(index.data(), index.size());
    if (s.ok()) s = out.Flush();
    if (s.ok()) s = SyncFd(tmp.value().get());
    if (!s.ok()) return s;
    // The lock is held until the file has its final name, so that no other
    // build can truncate it in between.
    if (::rename(tmp_path.c_str(), std::string(path).c_str()) != 0) {
      return Status::IO("rename: " + SystemErrorText(errno));
    }
  }  // closes the file and releases the lock; a failure to close is ignored
  // Without this, a crash soon after the rename could lose the new entry.
  if (Status s = SyncDirectory(ParentDirectory(path, LastFileComponent(path))); !s.ok()) return s;
  if (!print_summary) return {};

  struct stat st {};
  const std::uint64_t size =
      ::stat(std::string(path).c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  return PrintSummary(SummaryLine(path, object_offsets_.size(), key_refs_.size(), size));
}

}  // namespace vorl
