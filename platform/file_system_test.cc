// Staged files on real files in a temporary folder, written both ways: as
// unnamed files, and as the fallback for file systems that refuse those.
#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace quarn::platform {
namespace {

namespace fs = std::filesystem;

class StagedFileTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quarn-staged-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }

  fs::path dir_;
  std::shared_ptr<FileSystem> files_ = makeFileSystem({.unnamedStagedFiles = GetParam()});
};

INSTANTIATE_TEST_SUITE_P(UnnamedAndFallback, StagedFileTest, ::testing::Bool());

// A process killed while it writes leaves nothing, as a file dropped
// uncommitted does: the folder never shows an entry but the destination.
TEST_P(StagedFileTest, OnlyTheDestinationIsEverVisibleAndOnlyOnceCommitted) {
  const auto destination = dir_ / "package.pkg";
  std::ofstream(destination) << "old";
  for (const bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "committed" : "dropped");
    {
      auto staged = files_->createStagedFile(destination);
      ASSERT_TRUE(staged.has_value()) << staged.error().description;
      EXPECT_FALSE((*staged)->write("new ").has_value());
      EXPECT_FALSE((*staged)->write("bytes").has_value());
      EXPECT_EQ(entries(), 1u) << "a partial file is visible";
      EXPECT_EQ(contents(destination), "old");
      if (commit) {
        EXPECT_FALSE((*staged)->commit().has_value());
      }
    }
    EXPECT_EQ(entries(), 1u);
    EXPECT_EQ(contents(destination), commit ? "new bytes" : "old");
  }
  struct stat info {};
  ASSERT_EQ(::stat(destination.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_uid, ::geteuid());
}

TEST_P(StagedFileTest, ASymbolicLinkAtTheDestinationIsReplacedNotFollowed) {
  const auto target = dir_ / "victim";
  std::ofstream(target) << "precious";
  const auto destination = dir_ / "package.pkg";
  fs::create_symlink(target, destination);

  auto staged = files_->createStagedFile(destination);
  ASSERT_TRUE(staged.has_value());
  EXPECT_FALSE((*staged)->write("package").has_value());
  EXPECT_FALSE((*staged)->commit().has_value());

  EXPECT_EQ(contents(target), "precious");
  EXPECT_FALSE(fs::is_symlink(destination));
  EXPECT_EQ(contents(destination), "package");
}

TEST_P(StagedFileTest, AMissingFolderIsAnError) {
  const auto staged = files_->createStagedFile((dir_ / "missing" / "package.pkg").string());
  ASSERT_FALSE(staged.has_value());
  EXPECT_EQ(staged.error().domain, kPosixErrorDomain);
  EXPECT_EQ(staged.error().code, ENOENT);
}

}  // namespace
}  // namespace quarn::platform
