#include "core/path.h"

namespace vorl {
namespace {

constexpr std::string_view kTmpExtension = "vrls.tmp";

// Bounds of the last path component that names a file: trailing slashes and
// "." components are skipped, as a path library would normalise them.  Not
// found when the path names no file (empty, "/", ".", or ending in "..").
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

std::string ParentDirectory(std::string_view target) {
  std::size_t end = LastFileComponent(target).begin;
  while (end > 1 && target[end - 1] == '/') --end;
  if (end == 0) return ".";
  return std::string(target.substr(0, end));
}

}  // namespace vorl
