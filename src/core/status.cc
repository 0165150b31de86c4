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

Status Status::FromErrno(std::string_view prefix, int error_number) {
  std::string message(prefix);
  message += SystemErrorText(error_number);
  return IO(std::move(message), error_number);
}

std::string Status::message() const {
  if (kind_ == ErrorKind::kVersion) return "unsupported version " + std::to_string(version_);
  return message_;
}

Status Status::Prefixed(std::string_view prefix) const {
  Status s = *this;
  s.message_.insert(0, prefix);
  return s;
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  std::string text(KindName(kind_));
  text += ": ";
  text += message();
  return text;
}

std::string SystemErrorText(int error_number) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  std::string out(text);
  out += " (os error ";
  out += std::to_string(error_number);
  out += ')';
  return out;
}

}  // namespace vorl
