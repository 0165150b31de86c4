#include "core/status.h"

#include <cstring>

namespace vorl {

std::string Status::message() const {
  if (kind_ == ErrorKind::kVersion) return "unsupported version " + std::to_string(version_);
  return message_;
}

std::string Status::ToString() const {
  switch (kind_) {
    case ErrorKind::kOk:
      return "OK";
    case ErrorKind::kCorrupt:
      return "VorlCorruptError: " + message_;
    case ErrorKind::kVersion:
      return "VorlVersionError: " + message();
    case ErrorKind::kIO:
      return "VorlIOError: " + message_;
    case ErrorKind::kOther:
      return "VorlError: " + message_;
    case ErrorKind::kInternal:
      return message_;
  }
  return message_;
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
