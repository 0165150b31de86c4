// Publishing through PendingFile: what lies at the temporary path, waiting
// for and cancelling a locked build, patching, committing and discarding.
#include "core/file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/path.h"
#include "test_util.h"

namespace vorl {
namespace {

using testing_util::ListDir;
using testing_util::ReadFile;
using testing_util::TempDir;
using testing_util::WriteFile;

Status Publish(const std::string& target, std::string_view data, const CancelCheck& cancel = {}) {
  Result<PendingFile> file = PendingFile::Create(target, cancel);
  if (!file.ok()) return file.status();
  if (Status s = file.value().Append(data.data(), data.size()); !s.ok()) return s;
  return file.value().Commit(cancel);
}

// Whatever sits at the temporary path, the build either replaces it with a
// regular file of its own or stops before writing anything; it never writes
// through it to somewhere else.
struct HostileTmpCase {
  const char* name;
  void (*plant)(const std::string& tmp, const std::string& dir);
  const char* error;  // empty: the build succeeds
  const char* left;   // the directory listing afterwards
};

class HostileTmpTest : public testing::TestWithParam<HostileTmpCase> {};

TEST_P(HostileTmpTest, NeverWritesThroughIt) {
  TempDir dir;
  const std::string target = dir.path() + "/t.vrls";
  WriteFile(dir.path() + "/v.txt", "precious");
  GetParam().plant(TemporaryPathFor(target), dir.path());
  Status s = Publish(target, "store bytes");
  EXPECT_EQ(s.ok() ? "" : s.ToString(), GetParam().error);
  EXPECT_EQ(ReadFile(dir.path() + "/v.txt"), "precious");
  EXPECT_EQ(ListDir(dir.path()), GetParam().left);
  if (s.ok()) {
    EXPECT_EQ(ReadFile(target), "store bytes");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, HostileTmpTest,
    testing::Values(
        HostileTmpCase{"stale_file",
                       [](const std::string& tmp, const std::string&) { WriteFile(tmp, "old junk"); }, "",
                       "t.vrls v.txt"},
        HostileTmpCase{"symlink_to_file",
                       [](const std::string& tmp, const std::string& dir) {
                         ASSERT_EQ(::symlink((dir + "/v.txt").c_str(), tmp.c_str()), 0);
                       },
                       "io: open tmp: errno 40 (Too many levels of symbolic links)", "t.vrls.tmp v.txt"},
        HostileTmpCase{"dangling_symlink",
                       [](const std::string& tmp, const std::string& dir) {
                         ASSERT_EQ(::symlink((dir + "/created-by-build").c_str(), tmp.c_str()), 0);
                       },
                       "io: open tmp: errno 40 (Too many levels of symbolic links)", "t.vrls.tmp v.txt"},
        HostileTmpCase{
            "fifo",
            [](const std::string& tmp, const std::string&) { ASSERT_EQ(::mkfifo(tmp.c_str(), 0600), 0); },
            "io: open tmp: not a regular file", "t.vrls.tmp v.txt"},
        HostileTmpCase{
            "directory",
            [](const std::string& tmp, const std::string&) { ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0); },
            "io: open tmp: errno 21 (Is a directory)", "t.vrls.tmp v.txt"}),
    [](const testing::TestParamInfo<HostileTmpCase>& info) { return std::string(info.param.name); });

// Each case publishes "t.vrls" in a fresh folder.
class PendingFileTest : public testing::Test {
 protected:
  TempDir dir_;
  const std::string target_ = dir_.path() + "/t.vrls";
};

TEST_F(PendingFileTest, FifoWithAReaderIsRefusedToo) {
  const std::string tmp = TemporaryPathFor(target_);
  ASSERT_EQ(::mkfifo(tmp.c_str(), 0600), 0);
  const int reader = ::open(tmp.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(Publish(target_, "x").ToString(), "io: open tmp: not a regular file");
  ::close(reader);
  EXPECT_EQ(ListDir(dir_.path()), "t.vrls.tmp");
}

// A NUL byte cannot be handed to the system; where the temporary path keeps
// none (the NUL comes after the last dot), the rename is what refuses.
struct NulCase {
  std::string target;  // relative to the directory
  const char* error;
  const char* left;
};

class NulTargetTest : public testing::TestWithParam<NulCase> {};

TEST_P(NulTargetTest, PublishesNothing) {
  TempDir dir;
  Status s = Publish(dir.path() + "/" + GetParam().target, "bytes");
  EXPECT_EQ(s.ToString(), GetParam().error);
  EXPECT_EQ(ListDir(dir.path()), GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NulTargetTest,
    testing::Values(NulCase{std::string("x.vrls\0", 7),
                            "io: rename: file name contained an unexpected NUL byte", "x.vrls.tmp"},
                    NulCase{std::string("x.vrls\0garbage", 14),
                            "io: rename: file name contained an unexpected NUL byte", "x.vrls.tmp"},
                    NulCase{std::string("a\0b.vrls", 8),
                            "io: open tmp: file name contained an unexpected NUL byte", ""}));

// Holds the lock on a temporary file the way a concurrent build does.
class LockHolder {
 public:
  explicit LockHolder(const std::string& tmp) : fd_(::open(tmp.c_str(), O_WRONLY | O_CREAT, 0600)) {
    EXPECT_EQ(::flock(fd_, LOCK_EX), 0);
  }
  ~LockHolder() { ::close(fd_); }
  void Release() { ::flock(fd_, LOCK_UN); }

 private:
  int fd_;
};

TEST_F(PendingFileTest, CancelWhileWaitingForTheLockLeavesTargetAlone) {
  WriteFile(target_, "old");
  LockHolder holder(TemporaryPathFor(target_));
  int asked = 0;
  Status s = Publish(target_, "new", [&] { return ++asked == 3; });
  EXPECT_EQ(s.kind(), ErrorKind::kCancelled);
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(ReadFile(target_), "old");
}

TEST_F(PendingFileTest, WaitsUntilTheLockIsFreed) {
  LockHolder holder(TemporaryPathFor(target_));
  std::atomic<int> asked = 0;
  std::thread release([&] {
    while (asked < 2) std::this_thread::yield();
    holder.Release();
  });
  Status s = Publish(target_, "new", [&] {
    ++asked;
    return false;
  });
  release.join();
  EXPECT_TRUE(s.ok()) << s.ToString();
  EXPECT_EQ(ReadFile(target_), "new");
  EXPECT_EQ(ListDir(dir_.path()), "t.vrls");
}

TEST_F(PendingFileTest, CancelAtCommitLeavesCompleteTemporaryFile) {
  Result<PendingFile> file = PendingFile::Create(target_);
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE(file.value().Append("complete", 8).ok());
  EXPECT_EQ(file.value().Commit([] { return true; }).kind(), ErrorKind::kCancelled);
  EXPECT_EQ(ReadFile(TemporaryPathFor(target_)), "complete");
  EXPECT_EQ(ListDir(dir_.path()), "t.vrls.tmp");
}

TEST_F(PendingFileTest, WriteAtPatchesBufferedAndWrittenBytes) {
  Result<PendingFile> file = PendingFile::Create(target_);
  ASSERT_TRUE(file.ok());
  PendingFile& f = file.value();
  const std::string big(BufferedWriter::kCapacity + 10, 'b');
  ASSERT_TRUE(f.Append("????", 4).ok());  // still in the buffer when patched
  ASSERT_TRUE(f.WriteAt(0, "HEAD", 4).ok());
  ASSERT_TRUE(f.Append(big.data(), big.size()).ok());  // written out directly
  ASSERT_TRUE(f.Append("tail", 4).ok());
  ASSERT_TRUE(f.WriteAt(4, "BB", 2).ok());
  ASSERT_TRUE(f.Commit().ok());
  EXPECT_EQ(ReadFile(target_), "HEAD" + std::string("BB") + big.substr(2) + "tail");
}

TEST_F(PendingFileTest, DiscardRemovesOnlyTheTemporaryFile) {
  WriteFile(target_, "old");
  Result<PendingFile> file = PendingFile::Create(target_);
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE(file.value().Append("abandoned", 9).ok());
  file.value().Discard();
  EXPECT_EQ(ListDir(dir_.path()), "t.vrls");
  EXPECT_EQ(ReadFile(target_), "old");
}

TEST(StatusTest, SystemErrorsKeepTheirFacts) {
  const Status s = Status::IO(Operation::kWrite, ENOENT).During(Operation::kRename, "/x/t.vrls");
  EXPECT_EQ(s.kind(), ErrorKind::kIO);
  EXPECT_EQ(s.sys_errno(), ENOENT);
  EXPECT_EQ(s.operation(), Operation::kWrite);  // what a lower layer knew stays
  EXPECT_EQ(s.path(), "/x/t.vrls");
  EXPECT_EQ(s.ToString(), "io: write: errno 2 (No such file or directory)");
  EXPECT_EQ(OpenError(Operation::kOpen, -1).sys_errno(), 0);
  EXPECT_EQ(OpenError(Operation::kOpen, -1).message(), kNulInPathText);
  EXPECT_EQ(Status::Corrupt("x").sys_errno(), 0);
}

}  // namespace
}  // namespace vorl
