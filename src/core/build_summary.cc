#include "core/build_summary.h"

#include <cerrno>
#include <cstdio>

#include "core/file.h"

namespace vorl {

std::string SummaryLine(const BuildSummary& summary) {
  char size_text[64];
  std::snprintf(size_text, sizeof size_text, "%.1f", static_cast<double>(summary.bytes) / 1024.0);
  std::string line = "\u2705  ";
  line += summary.path;
  line += "  \u2014  ";
  line += std::to_string(summary.objects);
  line += " objects \u00b7 ";
  line += std::to_string(summary.keys);
  line += " keys \u00b7 ";
  line += size_text;
  line += " KB\n";
  return line;
}

Status PrintSummaryLine(const BuildSummary& summary) {
  Status s = WriteStdout(SummaryLine(summary));
  if (s.ok() || s.sys_errno() == EBADF) return {};
  // The store is in place: what failed is the process's output.
  if (s.sys_errno() == 0) return Status::Internal("failed printing to stdout: " + s.message());
  return Status::Internal("failed printing to stdout", s.sys_errno());
}

Result<BuildSummary> PublishedSummary(BuildSummary summary, bool print) {
  if (print) {
    if (Status printed = PrintSummaryLine(summary); !printed.ok()) return printed;
  }
  return summary;
}

}  // namespace vorl
