// KeyToText against Python's bytes.decode("utf-8", "replace"): a table of
// tricky sequences, and CRC-32 digests of the decodings of whole families
// of short inputs.  Every expected value was produced by CPython 3.14.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "core/crc32.h"
#include "core/key_text.h"

namespace vorl {
namespace {

using namespace std::string_view_literals;

struct TextCase {
  std::string_view in;
  std::string_view out;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << testing::PrintToString(std::string(c.in)); }

class KeyToTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(KeyToTextTest, MatchesPythonReplace) { EXPECT_EQ(KeyToText(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Table, KeyToTextTest,
    testing::Values(
        TextCase{""sv, ""sv}, TextCase{"plain ascii"sv, "plain ascii"sv},
        TextCase{"a\x00\x62"sv, "a\x00\x62"sv}, TextCase{"\xc3\xa9"sv, "\xc3\xa9"sv},
        TextCase{"\x80"sv, "\xef\xbf\xbd"sv}, TextCase{"\xbf"sv, "\xef\xbf\xbd"sv},
        TextCase{"\xc0\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xc1\xbf"sv, "\xef\xbf\xbd\xef\xbf\xbd"sv}, TextCase{"\xc2"sv, "\xef\xbf\xbd"sv},
        TextCase{"\xc2\x41"sv, "\xef\xbf\xbd\x41"sv}, TextCase{"\xdf\xbf"sv, "\xdf\xbf"sv},
        TextCase{"\xe0\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xe0\x9f\xbf"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xe0\xa0\x80"sv, "\xe0\xa0\x80"sv}, TextCase{"\xe0\xa0"sv, "\xef\xbf\xbd"sv},
        TextCase{"\xe0\xa0\x41"sv, "\xef\xbf\xbd\x41"sv}, TextCase{"\xed\x9f\xbf"sv, "\xed\x9f\xbf"sv},
        TextCase{"\xed\xa0\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xed\xbf\xbf"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xee\x80\x80"sv, "\xee\x80\x80"sv}, TextCase{"\xef\xbf\xbf"sv, "\xef\xbf\xbf"sv},
        TextCase{"\xf0\x80\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xf0\x8f\xbf\xbf"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xf0\x90\x80\x80"sv, "\xf0\x90\x80\x80"sv}, TextCase{"\xf0\x90\x80"sv, "\xef\xbf\xbd"sv},
        TextCase{"\xf0\x90\x41"sv, "\xef\xbf\xbd\x41"sv}, TextCase{"\xf1\x80\x80"sv, "\xef\xbf\xbd"sv},
        TextCase{"\xf4\x8f\xbf\xbf"sv, "\xf4\x8f\xbf\xbf"sv},
        TextCase{"\xf4\x90\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xf5\x80\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xf8\x88\x80\x80\x80"sv, "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xfe"sv, "\xef\xbf\xbd"sv}, TextCase{"\xff"sv, "\xef\xbf\xbd"sv},
        TextCase{"a\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64"sv,
                 "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\x62\xef\xbf\xbd\x63\xef\xbf\xbd\xef\xbf\xbd\x64"sv},
        TextCase{"\xe1\x80\xe1\x80\x80"sv, "\xef\xbf\xbd\xe1\x80\x80"sv},
        TextCase{"user:\xff\x34\x32"sv, "user:\xef\xbf\xbd\x34\x32"sv},
        TextCase{"abcdefghijklmnop\xff"sv, "abcdefghijklmnop\xef\xbf\xbd"sv},
        TextCase{"abcdefgh\xc3\xa9ijklmnop"sv, "abcdefgh\xc3\xa9ijklmnop"sv},
        TextCase{"abcdefg\xc3"sv, "abcdefg\xef\xbf\xbd"sv},
        TextCase{"\xc3\xa9\xc3"sv, "\xc3\xa9\xef\xbf\xbd"sv},
        TextCase{"\xed\xa0\x80\xed\xb0\x80"sv,
                 "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"sv},
        TextCase{"\xf0\x9f\x98\x80x"sv, "\xf0\x9f\x98\x80x"sv},
        TextCase{"\x7f\x80"sv, "\x7f\xef\xbf\xbd"sv}));

// CRC-32 of the decodings joined by '\n', as Python computes it with
// zlib.crc32(b"\n".join(bytes(t).decode("utf-8", "replace").encode() ...)).
std::uint32_t DigestOfDecodings(const std::vector<std::string>& inputs) {
  std::string joined;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (i > 0) joined += '\n';
    joined += KeyToText(inputs[i]);
  }
  return crc32::Value(joined.data(), joined.size());
}

TEST(KeyToTextDigestTest, EveryTwoByteString) {
  std::vector<std::string> inputs;
  for (int a = 0; a < 256; ++a)
    for (int b = 0; b < 256; ++b) inputs.push_back({static_cast<char>(a), static_cast<char>(b)});
  EXPECT_EQ(DigestOfDecodings(inputs), 0x0aa4b438u);
}

// Four-byte strings over the bytes where the rules change: every lead-byte
// class and every boundary of the second-byte ranges.
TEST(KeyToTextDigestTest, FourByteStringsOverBoundaryBytes) {
  const unsigned char s[] = {0x41, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc1, 0xc2, 0xdf,
                             0xe0, 0xe1, 0xec, 0xed, 0xee, 0xef, 0xf0, 0xf1, 0xf3, 0xf4, 0xf5, 0xff};
  std::vector<std::string> inputs;
  for (unsigned char a : s)
    for (unsigned char b : s)
      for (unsigned char c : s)
        for (unsigned char d : s) inputs.push_back({char(a), char(b), char(c), char(d)});
  EXPECT_EQ(DigestOfDecodings(inputs), 0x1d9e5418u);
}

}  // namespace
}  // namespace vorl
