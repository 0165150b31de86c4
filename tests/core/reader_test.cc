// Opening, object reads and deep verification, mostly on real stores from
// vorl::Writer with one fault patched in.
#include "core/reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "core/crc32.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::AssembleStore;
using testing_util::PutBE32;
using testing_util::PutBE64;
using testing_util::RawEntry;
using testing_util::RefreshFileCrc;
using testing_util::TempDir;

constexpr std::uint64_t kMax = ~std::uint64_t{0};

// Objects "alpha" @40, "bravo-bravo" @53, "" @72 and the unreferenced
// "unref" @80; keys a,b -> @40, c -> @53, d -> @72.  The index starts at 93
// with entries of 11 bytes at 93, 104, 115 and 126; the file is 137 bytes.
std::string StandardImage() {
  TempDir dir;
  Writer w;
  for (const char* blob : {"alpha", "bravo-bravo", "", "unref"}) EXPECT_TRUE(w.AddObject(blob).ok());
  for (auto [key, id] : {std::pair{"a", 0u}, {"b", 0u}, {"c", 1u}, {"d", 2u}})
    EXPECT_TRUE(w.AddKey(key, id).ok());
  const std::string path = dir.path() + "/std.vrls";
  EXPECT_TRUE(testing_util::BuildQuietly(w, path).ok());
  return testing_util::ReadFile(path);
}

class ReaderFileTest : public testing::Test {
 protected:
  // Each image gets a file of its own, so no open Reader sees its file change.
  Result<std::unique_ptr<const Reader>> OpenImage(const std::string& image, bool verify = true) {
    path_ = dir_.path() + "/store" + std::to_string(++files_) + ".vrls";
    testing_util::WriteFile(path_, image);
    return Reader::Open(path_, verify, IndexUse::kInMemory);
  }
  std::unique_ptr<const Reader> MustOpen(const std::string& image, bool verify = true) {
    auto r = OpenImage(image, verify);
    EXPECT_TRUE(r.ok()) << r.status().ToString();
    return r.ok() ? std::move(r).value() : nullptr;
  }

  TempDir dir_;
  std::string path_ = dir_.path() + "/store.vrls";
  int files_ = 0;
};

std::string CrcMismatch(const std::string& image) {
  char text[96];
  std::snprintf(text, sizeof text, "corrupt: file CRC32 mismatch  stored=0x%08x  computed=0x%08x",
                LoadBE32(reinterpret_cast<const unsigned char*>(image.data()) + 32),
                crc32::Value(image.data() + 40, image.size() - 40));
  return text;
}

struct OpenCase {
  const char* name;
  std::function<void(std::string&)> damage;
  const char* expected;              // "CRC" stands for the file CRC mismatch of the damaged image
  const char* unverified = nullptr;  // when opened without the CRC check, if not `expected`
  bool refresh_crc = false;          // recompute file_crc32 after the damage
};

class OpenFailureTest : public ReaderFileTest, public testing::WithParamInterface<OpenCase> {};

TEST_P(OpenFailureTest, FirstFailingCheckDecides) {
  const OpenCase& c = GetParam();
  std::string image = StandardImage();
  ASSERT_EQ(image.size(), 137u);
  c.damage(image);
  if (c.refresh_crc) RefreshFileCrc(image);
  auto text = [&](std::string expected) { return expected == "CRC" ? CrcMismatch(image) : expected; };
  auto outcome = [](const auto& r) { return r.ok() ? std::string("OK") : r.status().ToString(); };
  EXPECT_EQ(outcome(OpenImage(image, true)), text(c.expected));
  EXPECT_EQ(outcome(OpenImage(image, false)), text(c.unverified ? c.unverified : c.expected));
}

const char* const kKeyLen = "corrupt: index section truncated (key_len)";
const char* const kKeyOffset = "corrupt: index section truncated (key + offset)";

INSTANTIATE_TEST_SUITE_P(
    Table, OpenFailureTest,
    testing::Values(
        OpenCase{"Empty", [](std::string& f) { f.clear(); }, "corrupt: file too small for header"},
        OpenCase{"Bytes39", [](std::string& f) { f.resize(39); }, "corrupt: file too small for header"},
        OpenCase{"Zip39", [](std::string& f) { f = std::string("PK\3\4", 4) + std::string(35, '\0'); },
                 "corrupt: file too small for header"},
        OpenCase{"ZipMagic", [](std::string& f) { f.replace(0, 4, "PK\3\4"); },
                 "corrupt: bad magic [80, 75, 3, 4]"},
        OpenCase{"MagicBeforeVersion", [](std::string& f) { f[3] = 's', f[4] = 3; },
                 "corrupt: bad magic [86, 82, 76, 115]"},
        OpenCase{"Version1", [](std::string& f) { f[4] = 1; }, "version: unsupported version 1"},
        OpenCase{"Version3", [](std::string& f) { f[4] = 3; }, "version: unsupported version 3"},
        OpenCase{"VersionBeforeCrc", [](std::string& f) { f[4] = 3, f[48] ^= 1; },
                 "version: unsupported version 3"},
        OpenCase{"PayloadByte", [](std::string& f) { f[48] ^= 1; }, "CRC", "OK"},
        OpenCase{"CrcBeforeIndex", [](std::string& f) { f.resize(130); }, "CRC", kKeyOffset},
        OpenCase{"CutAtLastEntry", [](std::string& f) { f.resize(126); }, kKeyLen, nullptr, true},
        OpenCase{"CutInsideKeyLen", [](std::string& f) { f.resize(127); }, kKeyLen, nullptr, true},
        OpenCase{"CutAfterKeyLen", [](std::string& f) { f.resize(128); }, kKeyOffset, nullptr, true},
        OpenCase{"CutInsideOffset", [](std::string& f) { f.resize(136); }, kKeyOffset, nullptr, true},
        OpenCase{"KeyLenPastEnd", [](std::string& f) { f[126] = '\xFF', f[127] = '\xFF'; }, kKeyOffset,
                 nullptr, true},
        OpenCase{"OneKeyTooMany", [](std::string& f) { PutBE32(f, 8, 5); }, kKeyLen},
        // Reserving for 2^32 - 1 entries as claimed would ask for over 64 GiB
        // (and throw); room for 4 entries is all the file can justify.
        OpenCase{"HugeNumKeys", [](std::string& f) { PutBE32(f, 8, 0xFFFFFFFF); }, kKeyLen},
        OpenCase{"IndexOffsetAtEnd", [](std::string& f) { PutBE64(f, 16, 137); }, kKeyLen},
        OpenCase{"IndexOffsetLastByte", [](std::string& f) { PutBE64(f, 16, 136); }, kKeyLen},
        // Bytes 130..131 lie inside d's offset (zero), so the entry claims 10
        // bytes where 7 are left.
        OpenCase{"IndexOffsetMidEntry", [](std::string& f) { PutBE64(f, 16, 130); }, kKeyOffset},
        OpenCase{"IndexOffsetMax", [](std::string& f) { PutBE64(f, 16, kMax); }, kKeyLen},
        OpenCase{"IndexOffsetMaxMinus1", [](std::string& f) { PutBE64(f, 16, kMax - 1); }, kKeyLen},
        OpenCase{"IndexOffsetMaxMinus9", [](std::string& f) { PutBE64(f, 16, kMax - 9); }, kKeyLen}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReaderFileTest, CrcMismatchMessageIsExact) {
  Writer w;
  ASSERT_TRUE(w.AddObject(std::string("\x92\x01\x02", 3)).ok());
  ASSERT_TRUE(w.AddKey("a", 0).ok());
  ASSERT_TRUE(w.AddKey("b", 0).ok());
  ASSERT_TRUE(testing_util::BuildQuietly(w, path_).ok());
  std::string image = testing_util::ReadFile(path_);
  image[50] = 3;
  EXPECT_EQ(OpenImage(image).status().ToString(),
            "corrupt: file CRC32 mismatch  stored=0xcaf0be65  computed=0x518354b1");
  image[50] = 2;
  PutBE32(image, 32, 31);
  EXPECT_EQ(OpenImage(image).status().ToString(),
            "corrupt: file CRC32 mismatch  stored=0x0000001f  computed=0xcaf0be65");
}

TEST_F(ReaderFileTest, SystemFailuresNameTheStep) {
  const std::string missing = dir_.path() + "/missing.vrls";
  auto r = Reader::Open(missing, true, IndexUse::kInMemory);
  EXPECT_EQ(r.status().ToString(), "io: open: errno 2 (No such file or directory)");
  EXPECT_EQ(r.status().path(), missing);
  const Status nul = Reader::Open(std::string("a\0b.vrls", 8), true, IndexUse::kInMemory).status();
  EXPECT_EQ(nul.ToString(), "io: open: file name contained an unexpected NUL byte");
  EXPECT_EQ(nul.path(), std::string("a\0b.vrls", 8));
  // A directory opens read-only but cannot be mapped.
  EXPECT_EQ(Reader::Open(dir_.path(), true, IndexUse::kInMemory).status().ToString(),
            "io: map: errno 19 (No such device)");
}

TEST_F(ReaderFileTest, HeaderOnlyStoreOpensAndVerifies) {
  auto reader = MustOpen(AssembleStore({}, {}));
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->num_entries(), 0u);
  EXPECT_TRUE(reader->Verify().ok());
}

TEST_F(ReaderFileTest, UncheckedFieldsAndTrailingBytesAreIgnored) {
  std::string image = StandardImage();
  PutBE32(image, 12, 999);    // num_objects
  PutBE64(image, 24, 12345);  // data_offset
  image[5] = image[7] = image[39] = '\x5A';
  image += "trailing bytes";
  RefreshFileCrc(image);
  auto reader = MustOpen(image);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->num_entries(), 4u);
  EXPECT_EQ(reader->num_objects(), 999u);
  EXPECT_EQ(reader->Stats().data_offset, 40u);
  EXPECT_TRUE(reader->Verify().ok());
  // With no keys the index offset is never looked at.
  PutBE32(image, 8, 0);
  PutBE64(image, 16, kMax);
  reader = MustOpen(image);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->num_entries(), 0u);
}

TEST_F(ReaderFileTest, ChangedPayloadIsFoundOnlyByVerification) {
  std::string image = StandardImage();
  image[53 + 8] = 'B';  // "bravo-bravo" -> "Bravo-bravo"
  auto reader = MustOpen(image, false);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->FindObject("c").value(), "Bravo-bravo");
  EXPECT_EQ(reader->Verify().ToString(), CrcMismatch(image));
  // With the file CRC made to match, the record's own CRC catches it.
  RefreshFileCrc(image);
  reader = MustOpen(image);
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->Verify().ToString(), "corrupt: object CRC32 mismatch at offset 53");
}

struct BoundsCase {
  std::uint64_t offset;  // below 2^63: counted back from the end of the file
  bool from_end;
  const char* read_error;  // "{o}" stands for the offset
  const char* verify_error;
};

class ObjectBoundsTest : public ReaderFileTest, public testing::WithParamInterface<BoundsCase> {};

// One record "xyz" at 40; the key "k" points at the offset under test; a
// trailing record "end" closes the file exactly.
TEST_P(ObjectBoundsTest, ReadAndVerifyReportTheOffset) {
  std::string trailer(8, '\0');
  PutBE32(trailer, 0, 3);
  PutBE32(trailer, 4, crc32::Value("end", 3));
  trailer += "end";
  const std::size_t size = AssembleStore({"xyz"}, {{"k", 0}}, trailer).size();
  const std::uint64_t o = GetParam().from_end ? size - GetParam().offset : GetParam().offset;
  auto reader = MustOpen(AssembleStore({"xyz"}, {{"k", o}}, trailer));
  ASSERT_TRUE(reader);
  auto fill = [o](std::string text) {
    const std::size_t at = text.find("{o}");
    return at == std::string::npos ? text : text.replace(at, 3, std::to_string(o));
  };
  Result<std::string_view> read = reader->ObjectView(o);
  EXPECT_EQ(read.ok() ? "=" + std::string(read.value()) : read.status().ToString(),
            fill(GetParam().read_error));
  Status verify = reader->Verify();
  EXPECT_EQ(verify.ok() ? "OK" : verify.ToString(), fill(GetParam().verify_error));
}

const char* const kOutOfBounds = "corrupt: offset {o} out of bounds";
const char* const kVerifyOutOfBounds = "corrupt: object offset {o} out of bounds";
const char* const kBeyondEnd = "corrupt: object at {o} extends beyond file end";

INSTANTIATE_TEST_SUITE_P(Table, ObjectBoundsTest,
                         testing::Values(BoundsCase{40, false, "=xyz", "OK"},
                                         BoundsCase{11, true, "=end", "OK"},  // the trailing record
                                         BoundsCase{0, true, kOutOfBounds, kVerifyOutOfBounds},
                                         BoundsCase{7, true, kOutOfBounds, kVerifyOutOfBounds},
                                         BoundsCase{8, true, kBeyondEnd, kBeyondEnd},  // length 0x03xxxxxx
                                         BoundsCase{12, true, kBeyondEnd, kBeyondEnd},
                                         BoundsCase{kMax, false, kOutOfBounds, kVerifyOutOfBounds},
                                         BoundsCase{kMax - 7, false, kOutOfBounds, kVerifyOutOfBounds},
                                         BoundsCase{kMax - 8, false, kOutOfBounds, kVerifyOutOfBounds}));

TEST_F(ReaderFileTest, EnlargedRecordLengthRunsPastTheEnd) {
  for (std::uint32_t length : {137u - 53u - 8u + 1u, 0xFFFFFFFFu}) {
    std::string image = StandardImage();
    PutBE32(image, 53, length);
    auto reader = MustOpen(image, false);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->ObjectView(53).status().ToString(), "corrupt: object at 53 extends beyond file end");
    EXPECT_EQ(reader->Verify().ToString(), CrcMismatch(image));
    RefreshFileCrc(image);
    reader = MustOpen(image);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->Verify().ToString(), "corrupt: object at 53 extends beyond file end");
    EXPECT_EQ(reader->ObjectView(40).value(), "alpha");  // the reader stays usable
  }
}

TEST_F(ReaderFileTest, VerifyChecksReferencedRecordsInIndexOrder) {
  std::vector<std::string> payloads = {"one", "two", "three"};
  const std::uint64_t one = 40, two = testing_util::RecordOffset(payloads, 1);
  const std::uint64_t three = testing_util::RecordOffset(payloads, 2);
  // Damage the records of "two" and "three" (their CRC fields).
  auto image = [&](std::vector<RawEntry> entries) {
    std::string f = AssembleStore(payloads, entries);
    PutBE32(f, two + 4, 0);
    PutBE32(f, three + 4, 0);
    RefreshFileCrc(f);
    return f;
  };
  auto reader = MustOpen(image({{"a", three}, {"b", two}}));
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->Verify().ToString(), "corrupt: object CRC32 mismatch at offset " + std::to_string(three));
  reader = MustOpen(image({{"a", one}, {"b", kMax}, {"c", two}}));
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->Verify().ToString(), "corrupt: object offset 18446744073709551615 out of bounds");
  // Records no key refers to are covered by the file CRC alone.
  reader = MustOpen(image({{"a", one}, {"b", one}}));
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->Verify().ok());
}

TEST_F(ReaderFileTest, LiveObjectWalkSkipsSharedAndShadowedRecords) {
  // k's first entry is shadowed by its second; a and m share "y".
  auto reader = MustOpen(AssembleStore({"x", "y", "z"}, {{"a", 49}, {"k", 40}, {"k", 58}, {"m", 49}}));
  ASSERT_TRUE(reader);
  std::string seen;
  ASSERT_TRUE(reader
                  ->VisitLiveObjects([&](std::uint64_t offset, std::string_view payload) {
                    seen += std::to_string(offset) + ":" + std::string(payload) + " ";
                  })
                  .ok());
  EXPECT_EQ(seen, "49:y 58:z ");
}

// Files that are not stores at all must be refused at once: opening a FIFO
// for reading would otherwise wait for a writer forever.
struct SpecialFileCase {
  const char* name;
  // Creates the file at the path; returns a descriptor to keep open while
  // the reader opens it (or -1).
  int (*make)(const std::string& path);
  const char* error;  // the status, with the path given to Open
};

class SpecialFileTest : public ReaderFileTest, public testing::WithParamInterface<SpecialFileCase> {};

TEST_P(SpecialFileTest, IsRefusedWithoutBlocking) {
  const std::string path = dir_.path() + "/special.vrls";
  const int keep = GetParam().make(path);
  const std::string error = GetParam().error;
  const Status s = Reader::Open(path, true, IndexUse::kInMemory).status();
  EXPECT_EQ(s.ToString(), error);
  EXPECT_EQ(s.path(), path);
  if (keep >= 0) ::close(keep);
}

int MakeFifo(const std::string& path) { return ::mkfifo(path.c_str(), 0600) == 0 ? -1 : -2; }
int MakeFifoWithWriter(const std::string& path) {
  ::mkfifo(path.c_str(), 0600);
  const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer open without waiting
  const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
  ::close(reader);
  return writer;
}
int MakeSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  return fd;
}
int MakeDevNullLink(const std::string& path) { return ::symlink("/dev/null", path.c_str()) == 0 ? -1 : -2; }
int MakeDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0700) == 0 ? -1 : -2; }

INSTANTIATE_TEST_SUITE_P(
    Table, SpecialFileTest,
    testing::Values(SpecialFileCase{"fifo", MakeFifo, "io: open: not a regular file"},
                    SpecialFileCase{"fifo_with_writer", MakeFifoWithWriter, "io: open: not a regular file"},
                    SpecialFileCase{"socket", MakeSocket, "io: open: errno 6 (No such device or address)"},
                    SpecialFileCase{"char_device", MakeDevNullLink, "io: open: not a regular file"},
                    // Directories keep failing where they always did.
                    SpecialFileCase{"directory", MakeDirectory, "io: map: errno 19 (No such device)"}),
    [](const testing::TestParamInfo<SpecialFileCase>& info) { return std::string(info.param.name); });

// Files above 256 MiB are checksummed in steps whose pages are dropped
// behind the pass; the result, the message and the index parse that follows
// must not notice.  The file is sparse: one record of zeros spans it.
TEST(LargeReaderTest, ChecksumInStepsMatchesOnePass) {
  constexpr std::uint64_t kPayload = std::uint64_t{300} << 20;
  TempDir dir;
  const std::string path = dir.path() + "/big.vrls";
  std::string index;
  AppendBE16(index, 1);
  index += 'k';
  AppendBE64(index, 40);
  const std::uint64_t index_offset = 40 + 8 + kPayload;
  const std::string zeros(1 << 20, '\0');
  std::uint32_t crc = 0;
  for (std::uint64_t done = 0; done < kPayload; done += zeros.size())
    crc = crc32::Extend(crc, zeros.data(), zeros.size());
  std::string head = AssembleStore({}, {});
  AppendBE32(head, static_cast<std::uint32_t>(kPayload));
  AppendBE32(head, crc);
  PutBE32(head, 8, 1);
  PutBE32(head, 12, 1);
  PutBE64(head, 16, index_offset);
  // The file CRC runs over the record header, the zeros and the index.
  std::uint32_t file_crc = crc32::Value(head.data() + 40, 8);
  for (std::uint64_t done = 0; done < kPayload; done += zeros.size()) {
    file_crc = crc32::Extend(file_crc, zeros.data(), zeros.size());
  }
  file_crc = crc32::Extend(file_crc, index.data(), index.size());
  auto write = [&](std::uint32_t stored) {
    PutBE32(head, 32, stored);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::pwrite(fd, index.data(), index.size(), static_cast<off_t>(index_offset)),
              static_cast<ssize_t>(index.size()));
    ::close(fd);
  };
  write(file_crc);
  {
    auto reader = Reader::Open(path, true, IndexUse::kInMemory);
    ASSERT_TRUE(reader.ok()) << reader.status().ToString();
    EXPECT_EQ(reader.value()->FindObject("k").value()->size(), kPayload);
    EXPECT_TRUE(reader.value()->Verify().ok());
  }
  write(file_crc ^ 1);
  char expected[96];
  std::snprintf(expected, sizeof expected, "corrupt: file CRC32 mismatch  stored=0x%08x  computed=0x%08x",
                file_crc ^ 1, file_crc);
  EXPECT_EQ(Reader::Open(path, true, IndexUse::kInMemory).status().ToString(), expected);
}

}  // namespace
}  // namespace vorl
