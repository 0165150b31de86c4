// What a successful build reports: the figures as a value for callers that
// show them their own way, and the one line the low-level writer prints.
#ifndef VORLSTORE_CORE_BUILD_SUMMARY_H_
#define VORLSTORE_CORE_BUILD_SUMMARY_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "core/status.h"

namespace vorl {

// What the builder wrote, so that nobody reopens the file to learn it.
struct BuildSummary {
  std::string path;  // the target exactly as given
  std::uint64_t objects = 0;
  std::uint64_t keys = 0;
  std::uint64_t bytes = 0;       // the size of the file published
  std::uint32_t crc32 = 0;       // its file_crc32
  std::uint64_t duplicates = 0;  // additions that named a key already present
};

// "✅  {path}  —  {objects} objects · {keys} keys · {KiB} KB\n", the size in
// KiB with one decimal rounded like printf (ties to even on the exact
// binary value).
std::string SummaryLine(const BuildSummary& summary);

// Writes the summary line to descriptor 1.  With no descriptor 1 there is
// nowhere to print and the line is dropped; any other failure is kind
// internal ("failed printing to stdout: ..."), since the store is in place.
Status PrintSummaryLine(const BuildSummary& summary);

// `summary` of a store just published, printed first when `print` is set;
// a failed print is returned.
Result<BuildSummary> PublishedSummary(BuildSummary summary, bool print);

}  // namespace vorl

#endif  // VORLSTORE_CORE_BUILD_SUMMARY_H_
