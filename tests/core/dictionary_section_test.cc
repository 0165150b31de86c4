// The dictionary section and the compressed records' framing: exact bytes,
// the damage table of Locate, and which payloads FrameOf takes.
#include "core/dictionary_section.h"

#include <gtest/gtest.h>

#include <string>

#include "core/coding.h"
#include "core/crc32.h"

namespace vorl {
namespace {

namespace ds = dictionary_section;

// A file of `body` bytes (header included) followed by the section.
std::string FileWith(const std::string& dictionary, std::size_t body = 100) {
  return std::string(body, 'x') + ds::Encode(dictionary, body);
}

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

TEST(DictionarySectionTest, TrailerBytes) {
  const std::string file = FileWith("dict");
  const std::string trailer = file.substr(file.size() - ds::kTrailerSize);
  EXPECT_EQ(file.substr(100, 4), "dict");
  EXPECT_EQ(trailer.substr(0, 8), std::string("VRLZ\x01\x01\x00\x00", 8));
  EXPECT_EQ(LoadBE64(Bytes(trailer) + 8), 100u);
  EXPECT_EQ(LoadBE32(Bytes(trailer) + 16), 4u);
  EXPECT_EQ(LoadBE32(Bytes(trailer) + 20), crc32::Value("dict", 4));
  EXPECT_EQ(LoadBE32(Bytes(trailer) + 28), crc32::Value(trailer.data(), 28));

  auto found = ds::Locate(Bytes(file), file.size());
  ASSERT_TRUE(found.ok() && found.value());
  EXPECT_EQ(found.value()->section_offset, 100u);
  EXPECT_EQ(found.value()->dictionary, "dict");
  EXPECT_EQ(ds::EndBefore(Bytes(file), file.size()), 100u);
}

TEST(DictionarySectionTest, NoSectionIsNoValue) {
  const std::string plain(200, 'x');
  auto found = ds::Locate(Bytes(plain), plain.size());
  ASSERT_TRUE(found.ok());
  EXPECT_FALSE(found.value());
  EXPECT_EQ(ds::EndBefore(Bytes(plain), plain.size()), 200u);
}

// Each damage, resealed or not, and the message it must give.
TEST(DictionarySectionTest, DamageIsCorrupt) {
  struct Case {
    const char* name;
    std::size_t from_end;  // the byte flipped, counted back from the end
    bool reseal;           // rewrite the trailer CRC after the flip
    const char* message;
  };
  const Case cases[] = {
      {"dictionary byte", ds::kTrailerSize + 1, false, "dictionary CRC mismatch"},
      {"trailer CRC", 1, false, "dictionary trailer CRC mismatch"},
      {"version", ds::kTrailerSize - 4, true, "is not one this reader knows"},
      {"codec", ds::kTrailerSize - 5, true, "is not one this reader knows"},
      {"reserved", ds::kTrailerSize - 25, true, "is not one this reader knows"},
      {"offset", ds::kTrailerSize - 15, true, "does not end at the trailer"},
      {"offset high", ds::kTrailerSize - 8, true, "does not end at the trailer"},
      {"length", ds::kTrailerSize - 19, true, "does not end at the trailer"},
  };
  for (const Case& c : cases) {
    std::string file = FileWith(std::string(300, 'd'));
    file[file.size() - c.from_end] ^= 0x01;
    if (c.reseal) {
      auto* t = reinterpret_cast<unsigned char*>(file.data() + file.size() - ds::kTrailerSize);
      StoreBE32(t + ds::kTrailerCrcPos, crc32::Value(t, ds::kTrailerCrcPos));
    }
    auto found = ds::Locate(Bytes(file), file.size());
    ASSERT_FALSE(found.ok()) << c.name;
    EXPECT_EQ(found.status().kind(), ErrorKind::kCorrupt) << c.name;
    EXPECT_NE(found.status().message().find(c.message), std::string::npos) << c.name << ": "
                                                                           << found.status().message();
    EXPECT_EQ(ds::EndBefore(Bytes(file), file.size()), file.size()) << c.name;
  }
}

TEST(DictionarySectionTest, ExtHeaders) {
  struct Case {
    std::uint64_t frame_length;
    std::string header;
  };
  const Case cases[] = {
      {0, std::string("\xc7\x00\x5a", 3)},
      {255, std::string("\xc7\xff\x5a", 3)},
      {256, std::string("\xc8\x01\x00\x5a", 4)},
      {65535, std::string("\xc8\xff\xff\x5a", 4)},
      {65536, std::string("\xc9\x00\x01\x00\x00\x5a", 6)},
  };
  for (const Case& c : cases) {
    unsigned char out[ds::kMaxExtHeader];
    const std::size_t n = ds::EncodeExtHeader(out, c.frame_length);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n), c.header) << c.frame_length;
    const std::string payload = c.header + std::string(c.frame_length, 'f');
    EXPECT_EQ(ds::FrameOf(payload), std::string(c.frame_length, 'f')) << c.frame_length;
  }
}

TEST(DictionarySectionTest, FrameOfRefusesOtherPayloads) {
  const std::string refused[] = {
      "",
      std::string("\xc7\x02\x5a" "f", 4),          // shorter than it says
      std::string("\xc7\x01\x5a" "ff", 5),         // longer than it says
      std::string("\xc7\x01\x07" "f", 4),          // another extension type
      std::string("\xd4\x5a" "f", 3),              // fixext 1 of the type
      std::string("\xc8\x00", 2),                  // header cut short
      std::string("\xa3" "abc", 4),                // a str
  };
  for (const std::string& payload : refused) EXPECT_FALSE(ds::FrameOf(payload)) << payload.size();
}

}  // namespace
}  // namespace vorl
