// The file system on real files: whole-file reads, staged files written both
// ways (as unnamed files, and as the fallback for file systems that refuse
// those), and the lock across real processes.
#include "platform/file_system.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "gmock/gmock.h"
#include "tests/support/scoped_temp_dir.h"

namespace quarn::platform {
namespace {

namespace fs = std::filesystem;

class FileSystemTest : public ::testing::TestWithParam<bool> {
 protected:
  const testing::ScopedTempDir temp_;
  const std::string dir_ = temp_.path;
  std::shared_ptr<FileSystem> files_ = makeFileSystem({.unnamedStagedFiles = GetParam()});
};

INSTANTIATE_TEST_SUITE_P(UnnamedAndFallback, FileSystemTest, ::testing::Bool());

// While a staged file is written, and after it was dropped uncommitted, the
// folder shows nothing but the destination as it was; a commit replaces the
// destination (a symbolic link planted there too, never its target) with a
// 0600 file that reads back whole. Nothing but regular files is read, and
// nothing blocks.
TEST_P(FileSystemTest, AStagedFileAppearsOnlyWholeAndOnlyAtTheDestination) {
  const std::string destination = dir_ + "/package.pkg";
  const std::string content = std::string("binary\0bytes\n", 13) + std::string(200000, 'q');
  std::ofstream(dir_ + "/victim") << "precious";
  for (const std::string way : {"dropped", "committed", "over a link"}) {
    SCOPED_TRACE(way);
    std::ofstream(destination) << "old";
    if (way == "over a link") {
      fs::remove(destination);
      fs::create_symlink(dir_ + "/victim", destination);
    }
    {
      auto staged = files_->createStagedFile(destination);
      ASSERT_TRUE(staged.has_value()) << staged.error().description;
      EXPECT_FALSE((*staged)->write(content.substr(0, 9)).has_value());
      EXPECT_FALSE((*staged)->write(content.substr(9)).has_value());
      EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2) << "a partial file is visible";
      EXPECT_TRUE(way == "dropped" || !(*staged)->commit().has_value());
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2);
    EXPECT_EQ(files_->readFile(destination), way == "dropped" ? "old" : content);
  }
  EXPECT_EQ(files_->readFile(dir_ + "/victim"), "precious");
  EXPECT_FALSE(fs::is_symlink(destination));
  EXPECT_EQ(fs::status(destination).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const auto missing = files_->createStagedFile(dir_ + "/missing/package.pkg");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().code, ENOENT);
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  for (const std::string& path :
       {dir_ + "/missing", dir_, dir_ + "/fifo", std::string("/dev/zero")})
    EXPECT_EQ(files_->readFile(path), std::nullopt) << path << " neither blocks nor reads";
}

// One holder of the lock at a time: while another process holds it, an attempt
// finds it held at once; once that process is killed, it is free. (A child
// the agent starts never holds it: the launcher gives children no descriptor
// beyond the standard streams, see process_test.cc.)
TEST(FileLockTest, TheLockHasOneHolderAcrossProcesses) {
  const testing::ScopedTempDir temp;
  const std::string dir = temp.path, path = dir + "/quarn.lock";
  const auto files = makeFileSystem();
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  const pid_t holder = fork();
  if (holder == 0) {  // only async-signal-safe calls: the test runs threads
    const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || flock(fd, LOCK_EX) != 0 || write(ready[1], "x", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the other process did not take the lock";
  close(ready[0]);
  EXPECT_EQ(files->lockFile(path).state, FileLock::State::heldByAnother);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);

  EXPECT_EQ(files->lockFile(path).state, FileLock::State::acquired);
  EXPECT_EQ(files->lockFile(dir + "/missing/quarn.lock").error, posixError(ENOENT));
}

}  // namespace
}  // namespace quarn::platform
