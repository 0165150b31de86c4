// The writer's key map and index order at scale: enough keys to grow the
// hash table many times and to drive the chunked sort through long shared
// prefixes, keys that are prefixes of others, zero bytes and high bytes.
// Every index is checked against a std::map model, whose order is the
// unsigned bytewise order the format requires.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/coding.h"
#include "core/writer.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::CaptureStdout;
using testing_util::ReadFile;
using testing_util::TempDir;

struct KeySet {
  const char* name;
  std::function<std::vector<std::string>(std::mt19937&)> make;
  friend void PrintTo(const KeySet& k, std::ostream* os) { *os << k.name; }
};

std::vector<std::string> Numbered(std::mt19937&) {
  std::vector<std::string> keys;
  char buf[32];
  for (int i = 0; i < 20000; ++i) {
    std::snprintf(buf, sizeof buf, "user:%08d", i);
    keys.emplace_back(buf);
  }
  return keys;
}

// A 40-byte shared prefix, then decimal numbers of varying width, so that
// "p...p1" is a prefix of "p...p10" and of "p...p100".
std::vector<std::string> LongSharedPrefix(std::mt19937&) {
  std::vector<std::string> keys = {std::string(40, 'p')};
  for (int i = 0; i < 5000; ++i) keys.push_back(std::string(40, 'p') + std::to_string(i));
  return keys;
}

// Short keys over bytes that expose padding and signedness mistakes: 00 is
// what a zero-padded chunk looks like, 7F/80 and FF sort differently as
// signed chars.  Includes the empty key.
std::vector<std::string> AwkwardBytes(std::mt19937& rng) {
  const char alphabet[] = {'\x00', '\x01', '\x7F', '\x80', '\xFF'};
  std::map<std::string, int> unique;
  unique[""] = 0;
  while (unique.size() < 8000) {
    std::string k(rng() % 20, '\0');
    for (char& c : k) c = alphabet[rng() % sizeof alphabet];
    unique[k] = 0;
  }
  std::vector<std::string> keys;
  for (const auto& [k, unused] : unique) keys.push_back(k);
  return keys;
}

// Keys of 0 to 24 bytes over every byte value, so that the radix passes
// see all 256 values of every digit and every count of real bytes.
std::vector<std::string> AllByteValues(std::mt19937& rng) {
  std::map<std::string, int> unique;
  while (unique.size() < 20000) {
    std::string k(rng() % 25, '\0');
    for (char& c : k) c = static_cast<char>(rng() % 256);
    unique[k] = 0;
  }
  std::vector<std::string> keys;
  for (const auto& [k, unused] : unique) keys.push_back(k);
  return keys;
}

class WriterIndexTest : public ::testing::TestWithParam<KeySet> {};

TEST_P(WriterIndexTest, IndexMatchesSortedModelWithLastIdWinning) {
  std::mt19937 rng(5);
  std::vector<std::string> keys = GetParam().make(rng);
  std::shuffle(keys.begin(), keys.end(), rng);

  Writer w;
  std::vector<std::uint64_t> offsets;  // file offset of each object id
  std::uint64_t next = 40;
  const std::size_t num_objects = keys.size() / 3 + 1;  // keys share objects
  for (std::size_t id = 0; id < num_objects; ++id) {
    const std::string blob(rng() % 50, static_cast<char>('a' + id % 26));
    ASSERT_EQ(w.AddObject(blob).value(), id);
    offsets.push_back(next);
    next += 8 + blob.size();
  }
  std::map<std::string, std::uint32_t> model;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto id = static_cast<std::uint32_t>(rng() % num_objects);
    ASSERT_TRUE(w.AddKey(keys[i], id).ok());
    model[keys[i]] = id;
    // Now and then re-map an earlier key, so replacements happen both
    // before and after the table has grown past them.
    if (i % 7 == 0) {
      const std::string& again = keys[rng() % (i + 1)];
      const auto other = static_cast<std::uint32_t>(rng() % num_objects);
      ASSERT_TRUE(w.AddKey(again, other).ok());
      model[again] = other;
    }
  }
  ASSERT_EQ(w.num_keys(), model.size());

  TempDir dir;
  const std::string path = dir.path() + "/many.vrls";
  std::string out;
  ASSERT_TRUE(CaptureStdout([&] { return w.Build(path); }, &out).ok());
  const std::string file = ReadFile(path);
  const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
  ASSERT_EQ(LoadBE32(bytes + 8), model.size());
  std::size_t p = LoadBE64(bytes + 16);
  ASSERT_EQ(p, next);
  std::size_t n = 0;
  for (const auto& [key, id] : model) {
    ASSERT_LE(p + 2, file.size());
    const std::size_t len = LoadBE16(bytes + p);
    ASSERT_LE(p + 10 + len, file.size());
    ASSERT_EQ(file.substr(p + 2, len), key) << "entry " << n;
    ASSERT_EQ(LoadBE64(bytes + p + 2 + len), offsets[id]) << "entry " << n;
    p += 10 + len;
    ++n;
  }
  EXPECT_EQ(p, file.size());
}

INSTANTIATE_TEST_SUITE_P(KeyShapes, WriterIndexTest,
                         ::testing::Values(KeySet{"Numbered", Numbered},
                                           KeySet{"LongSharedPrefix", LongSharedPrefix},
                                           KeySet{"AwkwardBytes", AwkwardBytes},
                                           KeySet{"AllByteValues", AllByteValues}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorl
