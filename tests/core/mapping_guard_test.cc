// A file cut short under its mapping: reads of the vanished pages must come
// back as zeros with the guard marked, never as a SIGBUS that ends the test.
#include "core/mapping_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "core/file.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::TempDir;
using testing_util::WriteFile;

struct TruncateCase {
  const char* name;
  std::uint64_t cut_to;    // the file's length after the cut
  std::uint64_t read_at;   // the byte read through the mapping afterwards
  std::uint64_t fault_at;  // the offset the error names; 0 when none
};

class MappingGuardTest : public testing::TestWithParam<TruncateCase> {};

TEST_P(MappingGuardTest, ReadPastTheNewEndIsReportedNotFatal) {
  const TruncateCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.path() + "/guarded";
  WriteFile(path, std::string(5 * 4096, 'v'));
  OpenOutcome opened = OpenFile(path, O_RDONLY);
  ASSERT_TRUE(opened.fd.valid());
  Result<Mapping> mapped = Mapping::Map(opened.fd.get(), 5 * 4096);
  ASSERT_TRUE(mapped.ok());
  const Mapping mapping = std::move(mapped).value();
  const MappingGuard guard(mapping.data(), mapping.size());
  ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(c.cut_to)), 0);

  const unsigned char byte = *static_cast<const volatile unsigned char*>(mapping.data() + c.read_at);
  const Status s = guard.Check();
  if (c.fault_at == 0) {
    EXPECT_TRUE(s.ok()) << s.message();
    EXPECT_EQ(byte, c.read_at < c.cut_to ? 'v' : 0);  // the last page's tail reads as zeros
    return;
  }
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(s.message(),
            "file changed while open: offset " + std::to_string(c.fault_at) + " can no longer be read");
  // The mark stays, and the page, now zeros, answers without another fault.
  EXPECT_EQ(*static_cast<const volatile unsigned char*>(mapping.data() + (c.read_at & ~std::uint64_t{4095})),
            0);
  EXPECT_FALSE(guard.Check().ok());
}

INSTANTIATE_TEST_SUITE_P(Table, MappingGuardTest,
                         testing::Values(TruncateCase{"untouched", 5 * 4096, 3 * 4096, 0},
                                         TruncateCase{"inside_last_page", 100, 99, 0},
                                         TruncateCase{"tail_of_last_page", 100, 4000, 0},
                                         TruncateCase{"next_page", 100, 4096 + 7, 4096 + 7},
                                         TruncateCase{"emptied", 0, 3 * 4096 + 1, 3 * 4096 + 1},
                                         TruncateCase{"last_page", 4 * 4096, 5 * 4096 - 1, 5 * 4096 - 1}),
                         [](const testing::TestParamInfo<TruncateCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace vorl
