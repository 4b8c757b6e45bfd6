// Whole-file reads, and staged files written both ways: as unnamed files, and
// as the fallback for file systems that refuse those.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

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

TEST_P(FileSystemTest, ReadsWholeRegularFilesAndNothingElse) {
  const std::string content = std::string("binary\0bytes\n", 13) + std::string(200000, 'q');
  std::ofstream(dir_ + "/file", std::ios::binary) << content;
  ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  EXPECT_EQ(files_->readFile(dir_ + "/file"), content);
  for (const std::string& path :
       {dir_ + "/missing", dir_, dir_ + "/fifo", std::string("/dev/zero")}) {
    EXPECT_EQ(files_->readFile(path), std::nullopt) << path << " neither blocks nor reads";
  }
}

// While a staged file is written, and after it was dropped uncommitted, the
// folder shows nothing but the destination as it was; a commit replaces the
// destination (a symbolic link planted there too, never its target) with a
// 0600 file.
TEST_P(FileSystemTest, AStagedFileAppearsOnlyWholeAndOnlyAtTheDestination) {
  const std::string destination = dir_ + "/package.pkg";
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
      EXPECT_FALSE((*staged)->write("new ").has_value());
      EXPECT_FALSE((*staged)->write("bytes").has_value());
      EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2) << "a partial file is visible";
      EXPECT_TRUE(way == "dropped" || !(*staged)->commit().has_value());
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 2);
    EXPECT_EQ(files_->readFile(destination), way == "dropped" ? "old" : "new bytes");
  }
  EXPECT_EQ(files_->readFile(dir_ + "/victim"), "precious");
  EXPECT_FALSE(fs::is_symlink(destination));
  EXPECT_EQ(fs::status(destination).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  const auto missing = files_->createStagedFile(dir_ + "/missing/package.pkg");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().code, ENOENT);
}

}  // namespace
}  // namespace quarn::platform
