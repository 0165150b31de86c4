#include "core/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

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
  AppendBE32(records_, static_cast<std::uint32_t>(blob.size()));
  AppendBE32(records_, crc32::Value(blob.data(), blob.size()));
  records_.append(blob);
  return id;
}

Status Writer::AddKey(std::string_view key, std::uint32_t obj_id) {
  if (obj_id >= object_offsets_.size()) {
    return Status::Other("obj_id " + std::to_string(obj_id) + " out of range (have " +
                         std::to_string(object_offsets_.size()) + " objects)");
  }
  if (key.size() > format::kMaxKeyLength) {
    return Status::Other("key of " + std::to_string(key.size()) +
                         " bytes exceeds the limit of 65535 bytes");
  }
  // Ids fit in 32 bits and every key needs an object, yet many keys may
  // share one object, so the key count needs its own limit.
  auto it = key_map_.find(std::string(key));
  if (it != key_map_.end()) {
    it->second = obj_id;
    return {};
  }
  if (key_map_.size() >= format::kMaxCount) return Status::Other("too many keys: the limit is 4294967295");
  key_map_.emplace(std::string(key), obj_id);
  return {};
}

std::string Writer::IndexSection() const {
  std::vector<const std::pair<const std::string, std::uint32_t>*> sorted;
  sorted.reserve(key_map_.size());
  std::size_t bytes = 0;
  for (const auto& entry : key_map_) {
    sorted.push_back(&entry);
    bytes += format::kEntryOverhead + entry.first.size();
  }
  // std::string compares bytes as unsigned char, a proper prefix first.
  std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
  std::string index;
  index.reserve(bytes);
  for (const auto* entry : sorted) {
    AppendBE16(index, static_cast<std::uint16_t>(entry->first.size()));
    index += entry->first;
    AppendBE64(index, format::kHeaderSize + object_offsets_[entry->second]);
  }
  return index;
}

Status Writer::Build(std::string_view path) const {
  const std::string tmp_path = TemporaryPathFor(path);
  const std::string index = IndexSection();
  const std::uint32_t file_crc =
      crc32::Extend(crc32::Value(records_.data(), records_.size()), index.data(), index.size());

  unsigned char header[format::kHeaderSize] = {};
  std::copy(std::begin(format::kMagic), std::end(format::kMagic), header);
  header[format::kVersionPos] = format::kVersion;
  StoreBE32(header + format::kNumKeysPos, static_cast<std::uint32_t>(key_map_.size()));
  StoreBE32(header + format::kNumObjectsPos, static_cast<std::uint32_t>(object_offsets_.size()));
  StoreBE64(header + format::kIndexOffsetPos, format::kHeaderSize + records_.size());
  StoreBE64(header + format::kDataOffsetPos, format::kHeaderSize);
  StoreBE32(header + format::kFileCrcPos, file_crc);

  {
    OpenOutcome opened = OpenFile(tmp_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (!opened.fd.valid()) return Status::IO("open tmp: " + OpenErrorText(opened.error));
    BufferedWriter out(opened.fd.get());
    Status s = out.Append(header, sizeof header);
    if (s.ok()) s = out.Append(records_.data(), records_.size());
    if (s.ok()) s = out.Append(index.data(), index.size());
    if (s.ok()) s = out.Flush();
    if (s.ok()) s = SyncFd(opened.fd.get());
    if (!s.ok()) return s;
  }  // closes the temporary file; a failure to close is ignored

  if (::rename(tmp_path.c_str(), std::string(path).c_str()) != 0) {
    return Status::IO("rename: " + SystemErrorText(errno));
  }
  // Without this, a crash soon after the rename could lose the new entry.
  if (Status s = SyncDirectory(ParentDirectory(path, LastFileComponent(path))); !s.ok()) return s;

  struct stat st {};
  const std::uint64_t size =
      ::stat(std::string(path).c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  return PrintSummary(SummaryLine(path, object_offsets_.size(), key_map_.size(), size));
}

}  // namespace vorl
