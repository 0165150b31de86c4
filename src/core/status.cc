#include "core/status.h"

#include <cstring>

namespace vorl {
namespace {

std::string_view KindName(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::kOk:
      return "ok";
    case ErrorKind::kCorrupt:
      return "corrupt";
    case ErrorKind::kVersion:
      return "version";
    case ErrorKind::kIO:
      return "io";
    case ErrorKind::kOther:
      return "other";
    case ErrorKind::kInternal:
      return "internal";
    case ErrorKind::kCancelled:
      return "cancelled";
  }
  return "unknown";
}

}  // namespace

std::string_view OperationName(Operation op) {
  switch (op) {
    case Operation::kNone:
      return "";
    case Operation::kOpen:
      return "open";
    case Operation::kMap:
      return "map";
    case Operation::kOpenTemporary:
      return "open tmp";
    case Operation::kWrite:
      return "write";
    case Operation::kSync:
      return "sync";
    case Operation::kRename:
      return "rename";
    case Operation::kSyncDirectory:
      return "sync dir";
    case Operation::kReadTemporary:
      return "read tmp";
    case Operation::kTruncateTemporary:
      return "truncate tmp";
    case Operation::kSeekTemporary:
      return "seek tmp";
  }
  return "";
}

std::string Status::message() const {
  if (kind_ == ErrorKind::kVersion) return "unsupported version " + std::to_string(version());
  return detail_ ? detail_->message : std::string();
}

const std::string& Status::path() const {
  static const std::string kNone;
  return detail_ ? detail_->path : kNone;
}

Status Status::During(Operation op, std::string_view path) const {
  Status s = *this;
  if (s.detail_->operation == Operation::kNone) s.detail_->operation = op;
  if (s.detail_->path.empty()) s.detail_->path = path;
  return s;
}

Status Status::Prefixed(std::string_view prefix) const {
  Status s = *this;
  s.detail_->message.insert(0, prefix);
  return s;
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  std::string text(KindName(kind_));
  text += ": ";
  if (operation() != Operation::kNone) {
    text += OperationName(operation());
    text += ": ";
  }
  const std::string said = message();
  text += said;
  if (sys_errno() != 0) {
    if (!said.empty()) text += ": ";
    text += "errno " + std::to_string(sys_errno()) + " (" + ErrnoText(sys_errno()) + ")";
  }
  return text;
}

std::string ErrnoText(int error_number) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  return strerror_r(error_number, buffer, sizeof buffer);
}

}  // namespace vorl
