// The file system on real files: whole-file reads, staged files written both
// ways (as unnamed files, and as the fallback for file systems that refuse
// those), and the lock across real processes.
#include "platform/file_system.h"

#include <fcntl.h>
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

// One holder of the lock at a time, across processes: while it is held,
// another process finds it taken at once, and so does another attempt here;
// once its holder lets go (as at the holder's end), another process takes it.
// (A child the agent starts never holds it: the launcher gives children no
// descriptor beyond the standard streams, see process_test.cc.)
TEST(FileLockTest, TheLockHasOneHolderAcrossProcesses) {
  const testing::ScopedTempDir temp;
  const std::string path = temp.path + "/quarn.lock";
  const auto files = makeFileSystem();
  const auto anotherProcessTakesIt = [&] {  // only async-signal-safe calls: the test runs threads
    const pid_t other = fork();
    if (other == 0) _exit(flock(open(path.c_str(), O_RDONLY), LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    int status = -1;
    return other > 0 && waitpid(other, &status, 0) == other && status == 0;
  };
  {
    const FileLock held = files->lockFile(path);
    ASSERT_EQ(held.state, FileLock::State::acquired);
    EXPECT_FALSE(anotherProcessTakesIt());
    EXPECT_EQ(files->lockFile(path).state, FileLock::State::heldByAnother);
  }
  EXPECT_TRUE(anotherProcessTakesIt());
  EXPECT_EQ(files->lockFile(temp.path + "/missing/quarn.lock").error, posixError(ENOENT));
}

}  // namespace
}  // namespace quarn::platform
