#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include "platform/crypto.h"
#include "platform/staged_file.h"
#include "platform/text.h"

namespace quarn::platform {
namespace {

namespace fs = std::filesystem;

TEST(Utf8Test, AcceptsWellFormedAndRefusesMalformed) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii", true},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
      {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
      {"\xC3", false},              // truncated
      {"\xC0\xAF", false},          // overlong "/"
      {"\xE0\x80\xAF", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\x80", false},              // stray continuation
      {"\xFF", false},
      {std::string("a\0b", 3), true},  // NUL is a valid code point
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << c.bytes;
    // The same bytes in three pieces, cut anywhere, characters included.
    for (std::size_t first = 0; first <= c.bytes.size(); ++first) {
      for (std::size_t second = first; second <= c.bytes.size(); ++second) {
        Utf8Validator validator;
        validator.append(std::string_view(c.bytes).substr(0, first));
        validator.append(std::string_view(c.bytes).substr(first, second - first));
        validator.append(std::string_view(c.bytes).substr(second));
        EXPECT_EQ(validator.valid(), c.valid) << c.bytes << " cut at " << first << ", " << second;
      }
    }
  }
}

TEST(ParseCLocaleDoubleTest, ReadsWhatStrtodReadsInTheCLocale) {
  EXPECT_EQ(parseCLocaleDouble("0"), 0.0);
  EXPECT_EQ(parseCLocaleDouble("1765012345.25"), 1765012345.25);
  EXPECT_EQ(parseCLocaleDouble("-2.5e3"), -2500.0);
  EXPECT_EQ(parseCLocaleDouble("+7"), 7.0);
  EXPECT_EQ(parseCLocaleDouble("0x1p30"), 1073741824.0);
  EXPECT_EQ(parseCLocaleDouble("inf"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(parseCLocaleDouble("-Infinity"), -std::numeric_limits<double>::infinity());
  ASSERT_TRUE(parseCLocaleDouble("nan").has_value());
  EXPECT_TRUE(std::isnan(*parseCLocaleDouble("nan")));
}

TEST(ParseCLocaleDoubleTest, RefusesEmptyLeadingSpaceAndLeftovers) {
  for (const std::string& text :
       std::vector<std::string>{"", " 1.0", "\t1", "\n1", "1.0 ", "1.0\n", "abc", "1,5", "1.0x",
                                std::string("1\0", 2), "."}) {
    EXPECT_FALSE(parseCLocaleDouble(text).has_value()) << '"' << text << '"';
  }
}

TEST(Sha256Test, KnownDigestsWholeAndInPieces) {
  Sha256 empty;
  EXPECT_EQ(empty.finishHex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  Sha256 pieces;
  pieces.update("a");
  pieces.update("");
  pieces.update("bc");
  EXPECT_EQ(pieces.finishHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Base64Test, StandardAlphabetWithPadding) {
  EXPECT_EQ(base64Encode(""), "");
  EXPECT_EQ(base64Encode("f"), "Zg==");
  EXPECT_EQ(base64Encode("fo"), "Zm8=");
  EXPECT_EQ(base64Encode("foo"), "Zm9v");
  EXPECT_EQ(base64Encode("\xFB\xFF\xBF"), "+/+/");
  EXPECT_EQ(base64Encode("caf\xC3\xA9"), "Y2Fmw6k=");
}

class StagedFileTest : public ::testing::Test {
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
};

TEST_F(StagedFileTest, CommitReplacesTheDestinationWithAPrivateFile) {
  const auto destination = dir_ / "package.pkg";
  std::ofstream(destination) << "old";
  auto staged = createStagedFile(destination);
  ASSERT_TRUE(staged.has_value()) << staged.error().description;
  EXPECT_FALSE((*staged)->write("new ").has_value());
  EXPECT_FALSE((*staged)->write("bytes").has_value());
  EXPECT_EQ(contents(destination), "old");  // untouched until the commit
  EXPECT_FALSE((*staged)->commit().has_value());
  staged = Expected<std::unique_ptr<StagedFile>>(nullptr);

  EXPECT_EQ(contents(destination), "new bytes");
  struct stat info {};
  ASSERT_EQ(::stat(destination.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_uid, ::geteuid());
  EXPECT_EQ(entries(), 1u);  // no temporary file left behind
}

TEST_F(StagedFileTest, DroppedUncommittedLeavesNothingAndTheDestinationUntouched) {
  const auto destination = dir_ / "package.pkg";
  std::ofstream(destination) << "old";
  {
    auto staged = createStagedFile(destination);
    ASSERT_TRUE(staged.has_value());
    EXPECT_FALSE((*staged)->write("partial").has_value());
  }
  EXPECT_EQ(contents(destination), "old");
  EXPECT_EQ(entries(), 1u);
}

TEST_F(StagedFileTest, ASymbolicLinkAtTheDestinationIsReplacedNotFollowed) {
  const auto target = dir_ / "victim";
  std::ofstream(target) << "precious";
  const auto destination = dir_ / "package.pkg";
  fs::create_symlink(target, destination);

  auto staged = createStagedFile(destination);
  ASSERT_TRUE(staged.has_value());
  EXPECT_FALSE((*staged)->write("package").has_value());
  EXPECT_FALSE((*staged)->commit().has_value());

  EXPECT_EQ(contents(target), "precious");
  EXPECT_FALSE(fs::is_symlink(destination));
  EXPECT_EQ(contents(destination), "package");
}

TEST_F(StagedFileTest, AMissingFolderIsAnError) {
  const auto staged = createStagedFile((dir_ / "missing" / "package.pkg").string());
  ASSERT_FALSE(staged.has_value());
  EXPECT_EQ(staged.error().domain, kPosixErrorDomain);
  EXPECT_EQ(staged.error().code, ENOENT);
}

}  // namespace
}  // namespace quarn::platform
