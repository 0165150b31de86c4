#include "core/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/crc32_internal.h"

namespace vorl::crc32 {
namespace {

// zlib's crc32 continues a finished checksum exactly like Extend.
std::uint32_t Zlib(std::uint32_t crc, const unsigned char* p, std::size_t n) {
  // zlib takes at most 4 GiB per call; the buffers here are far smaller.
  return static_cast<std::uint32_t>(::crc32(crc, p, static_cast<uInt>(n)));
}

std::vector<unsigned char> RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

// Every test runs once per backend; backends this CPU lacks are skipped.
class Crc32BackendTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    extend_ = BackendFunction(GetParam());
    if (extend_ == nullptr) GTEST_SKIP() << BackendName(GetParam()) << " is not supported on this CPU";
  }
  std::uint32_t Crc(const std::string& s) const { return extend_(0, s.data(), s.size()); }

  ExtendFunction extend_ = nullptr;
};

std::string Counting(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i);
  return s;
}

TEST_P(Crc32BackendTest, KnownAnswers) {
  struct Case {
    const char* name;
    std::string data;
    std::uint32_t crc;
  };
  const Case cases[] = {
      {"empty", "", 0},
      {"check string", "123456789", 0xCBF43926u},
      {"example store payload", std::string("\x92\x01\x02", 3), 0xF6C3E5E1u},
      {"pangram", "The quick brown fox jumps over the lazy dog", 0x414FA339u},
      {"32 zero bytes", std::string(32, '\0'), 0x190A55ADu},
      {"1000 bytes 0xFF", std::string(1000, '\xFF'), 0xE0533230u},
      {"bytes 0..255 sixteen times", Counting(4096), 0xA2912082u},
      {"1 MiB of zeros", std::string(1 << 20, '\0'), 0xA738EA1Cu},
  };
  for (const Case& c : cases) EXPECT_EQ(Crc(c.data), c.crc) << c.name;
}

TEST_P(Crc32BackendTest, SplitAtEveryPointGivesTheSameChecksum) {
  // Sizes straddle the thresholds where the folding paths take over.
  for (std::size_t n : {31u, 64u, 257u, 700u}) {
    const auto data = RandomBytes(n, static_cast<std::uint32_t>(n));
    const std::uint32_t whole = Zlib(0, data.data(), n);
    ASSERT_EQ(extend_(0, data.data(), n), whole) << "size " << n;
    for (std::size_t split = 0; split <= n; ++split) {
      const std::uint32_t head = extend_(0, data.data(), split);
      ASSERT_EQ(extend_(head, data.data() + split, n - split), whole) << "size " << n << " split " << split;
    }
  }
}

TEST_P(Crc32BackendTest, RandomLengthsAndAlignmentsMatchZlibAndPortable) {
  const auto data = RandomBytes(5000 + 64, 7);
  std::mt19937 rng(11);
  for (int i = 0; i < 3000; ++i) {
    const std::size_t length = rng() % 5001;
    const std::size_t align = rng() % 64;
    // Half the cases continue from a nonzero checksum.
    const std::uint32_t start = (i % 2 == 0) ? 0 : static_cast<std::uint32_t>(rng());
    const unsigned char* p = data.data() + align;
    const std::uint32_t got = extend_(start, p, length);
    ASSERT_EQ(got, Zlib(start, p, length)) << "length " << length << " align " << align;
    ASSERT_EQ(got, ExtendPortable(start, p, length)) << "length " << length << " align " << align;
  }
}

TEST_P(Crc32BackendTest, LargeBuffers) {
  const auto data = RandomBytes((4u << 20) + 77, 3);
  for (std::size_t n : {std::size_t{3} << 20, (std::size_t{4} << 20) + 77}) {
    EXPECT_EQ(extend_(0, data.data(), n), Zlib(0, data.data(), n)) << "size " << n;
  }
  // Streaming over uneven pieces, as the writer does with its two sections.
  std::uint32_t crc = 0;
  std::size_t done = 0;
  for (std::size_t piece : {std::size_t{1} << 20, std::size_t{5}, std::size_t{999999}}) {
    crc = extend_(crc, data.data() + done, piece);
    done += piece;
  }
  crc = extend_(crc, data.data() + done, data.size() - done);
  EXPECT_EQ(crc, Zlib(0, data.data(), data.size()));
}

INSTANTIATE_TEST_SUITE_P(AllBackends, Crc32BackendTest, ::testing::ValuesIn(kAllBackends),
                         [](const auto& info) { return std::string(BackendName(info.param)); });

TEST(Crc32DispatchTest, ChosenBackendIsSupportedAndServesExtend) {
  bool found = false;
  for (Backend b : kAllBackends) {
    if (std::strcmp(BackendName(), BackendName(b)) == 0) {
      found = true;
      ASSERT_NE(BackendFunction(b), nullptr);
    }
  }
  EXPECT_TRUE(found) << BackendName();
  const std::string s = Counting(1000);
  EXPECT_EQ(Value(s.data(), s.size()), Zlib(0, reinterpret_cast<const unsigned char*>(s.data()), s.size()));
}

// The choice is made once per process, so each setting is tried in a fresh
// process (the "threadsafe" death-test style re-executes this binary).
TEST(Crc32DispatchTest, EnvironmentOverrideSelectsSupportedBackends) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (Backend b : kAllBackends) {
    if (BackendFunction(b) == nullptr) continue;
    EXPECT_EXIT(
        {
          ::setenv("VORL_CRC32_BACKEND", BackendName(b), 1);
          std::fprintf(stderr, "chosen=%s;", BackendName());
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), std::string("chosen=") + BackendName(b) + ";");
  }
  // An unknown name falls back to the automatic choice: the fastest
  // supported backend.
  std::string automatic;
  for (Backend b : {Backend::kVpclmul, Backend::kPclmul, Backend::kPortable}) {
    if (automatic.empty() && BackendFunction(b) != nullptr) automatic = BackendName(b);
  }
  EXPECT_EXIT(
      {
        ::setenv("VORL_CRC32_BACKEND", "no-such-backend", 1);
        std::fprintf(stderr, "chosen=%s;", BackendName());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "chosen=" + automatic + ";");
}

}  // namespace
}  // namespace vorl::crc32
