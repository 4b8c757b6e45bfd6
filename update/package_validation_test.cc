#include "update/package_validation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/memory_log_sink.h"

namespace quarn::update {
namespace {

namespace fs = std::filesystem;
using R = PackageValidationResult;

const std::vector<std::string> kSevenLines = {
    "Status: signed by a developer certificate issued by Apple for distribution",
    "Notarization: trusted by the Apple notary service",
    "1. Developer ID Installer: Kelvane, Inc. (3RZT8QW5KD)",
    "2. Developer ID Certification Authority",
    "3. Apple Root CA",
    "B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C",
    "68 C5 BE 91 B5 A1 10 01 F0 24",
};

std::string linesWithout(std::size_t skipped) {
  std::string text = "Package \"ForwarderInstallerPackage.pkg\":\n";
  for (std::size_t i = 0; i < kSevenLines.size(); ++i) {
    if (i != skipped) text += "   " + kSevenLines[i] + "\n";
  }
  return text;
}

// A stand-in package tool in a temporary folder: prints the files "out" and
// "err" of its folder on its two streams and exits with the number in "status".
class PackageValidationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quarn-pkgtool-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const fs::path tool = dir_ / "pkgutil";
    std::ofstream(tool) << "#!/bin/sh\n"
                           "d=$(dirname \"$0\")\n"
                           "echo \"$@\" > \"$d/args\"\n"
                           "cat \"$d/out\"; cat \"$d/err\" >&2; exit $(cat \"$d/status\")\n";
    fs::permissions(tool, fs::perms::owner_all);
    answer("", "", 0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  void answer(const std::string& out, const std::string& err, int status) {
    std::ofstream(dir_ / "out", std::ios::binary) << out;
    std::ofstream(dir_ / "err", std::ios::binary) << err;
    std::ofstream(dir_ / "status") << status;
  }

  PackageValidator validator() {
    return PackageValidator(platform::makeProcessLauncher(),
                            platform::Logger("com.kelvane.Orvanta.quarn", "Package Updater", sink_),
                            (dir_ / "pkgutil").string() + " --check-signature ", "/bin/zsh");
  }

  std::string toolArguments() const {
    std::ifstream in(dir_ / "args");
    std::string line;
    std::getline(in, line);
    return line;
  }

  fs::path dir_;
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
};

TEST_F(PackageValidationTest, EachMissingTextGivesItsCaseAndMessage) {
  struct Case {
    std::string out;
    R result;
    std::string message;
  };
  const std::string root = "The package is signed but the Root Certificate is not from Apple";
  std::string reordered;
  for (auto it = kSevenLines.rbegin(); it != kSevenLines.rend(); ++it) reordered += *it + "\n\n";
  std::string lowerFingerprint = linesWithout(6) + "68 c5 be 91 b5 a1 10 01 f0 24\n";
  const Case cases[] = {
      {linesWithout(99), R::valid, "Package validated successfully."},
      {reordered, R::valid, "Package validated successfully."},
      {"", R::notSigned, "The package is not signed."},
      {linesWithout(0), R::notSigned, "The package is not signed."},
      {linesWithout(1), R::notNotarized, "The package is not notarized."},
      {linesWithout(2) + "1. Developer ID Installer: Other, Inc. (ABCDE12345)\n",
       R::wrongDeveloperID, "The package is signed with another developer ID."},
      {linesWithout(3), R::wrongCertificationAuthority,
       "The package is signed but the certificate is authorized by a wrong Certification "
       "Authority"},
      {linesWithout(4), R::wrongRootCertificate, root},
      {linesWithout(5), R::wrongRootCertificate, root},
      {linesWithout(6), R::wrongRootCertificate, root},
      {lowerFingerprint, R::wrongRootCertificate, root},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    sink_->clear();
    answer(c.out, "", 0);
    EXPECT_EQ(validator().validatePackageSignature("/tmp/package.pkg"), c.result);
    EXPECT_EQ(sink_->messages(), std::vector<std::string>{c.message});
  }
  EXPECT_EQ(toolArguments(), "--check-signature /tmp/package.pkg");
}

TEST_F(PackageValidationTest, ANonZeroStatusFailsWhateverTheOutputAndLogsIt) {
  answer(linesWithout(99), "warning", 1);
  EXPECT_EQ(validator().validatePackageSignature("/tmp/package.pkg"), R::validationFailed);
  EXPECT_EQ(sink_->messages(),
            (std::vector<std::string>{"Package could not be validated.",
                                      "Command output: " + linesWithout(99) + "\nwarning"}));
  // The output is a private argument.
  EXPECT_EQ(sink_->records().back().redactedText, "Command output: <private>");
}

TEST_F(PackageValidationTest, OutputSplitAcrossBothStreamsIsJoinedWithALineFeed) {
  const std::string out = kSevenLines[0] + "\n" + kSevenLines[1] + "\n" + kSevenLines[2];
  std::string err;
  for (std::size_t i = 3; i < kSevenLines.size(); ++i) err += kSevenLines[i] + "\n";
  answer(out, err, 0);
  EXPECT_EQ(validator().validatePackageSignature("/tmp/package.pkg"), R::valid);

  // Joined as standard output, a line feed, standard error: a text split
  // across that seam is not found.
  answer("Status: signed by a developer certificate issued", " by Apple for distribution", 0);
  EXPECT_EQ(validator().validatePackageSignature("/tmp/package.pkg"), R::notSigned);
}

TEST_F(PackageValidationTest, OutputThatIsNotUtf8IsLeftOut) {
  answer("\xFF\xFE" + linesWithout(99), "", 0);
  EXPECT_EQ(validator().validatePackageSignature("/tmp/package.pkg"), R::notSigned);
}

// The verdict does not depend on how much the tool printed before the texts,
// though only a bounded part of the output is kept.
TEST_F(PackageValidationTest, TextsAfterFortyMebibytesOfOutputAreFound) {
  const fs::path chatty = dir_ / "chatty";
  std::ofstream(chatty) << "#!/bin/sh\nhead -c 41943040 /dev/zero | tr '\\0' x\ncat \"$(dirname "
                           "\"$0\")/out\"\n";
  fs::permissions(chatty, fs::perms::owner_all);
  answer("\n" + linesWithout(99), "", 0);
  PackageValidator validator(
      platform::makeProcessLauncher(),
      platform::Logger("com.kelvane.Orvanta.quarn", "Package Updater", sink_),
      chatty.string() + " ", "/bin/zsh");
  EXPECT_EQ(validator.validatePackageSignature("/tmp/package.pkg"), R::valid);
}

TEST_F(PackageValidationTest, AShellThatCannotStartRefusesThePackage) {
  PackageValidator broken(platform::makeProcessLauncher(),
                          platform::Logger("com.kelvane.Orvanta.quarn", "Package Updater", sink_),
                          "true ", (dir_ / "no-such-shell").string());
  EXPECT_EQ(broken.validatePackageSignature("/tmp/package.pkg"), R::validationFailed);
  EXPECT_EQ(sink_->messages().front(), "Package could not be validated.");
}

// A finished child whose pipes give `out` and `err`, or fail to read.
class ScriptedProcess final : public platform::Process {
 public:
  class ScriptedPipe final : public platform::Pipe {
   public:
    ScriptedPipe(std::string bytes, bool fails) : bytes_(std::move(bytes)), fails_(fails) {}
    platform::Expected<std::string> readToEnd() override {
      if (fails_) return platform::Error{"POSIXError", 5, "Input/output error"};
      return bytes_;
    }

   private:
    std::string bytes_;
    bool fails_;
  };

  ScriptedProcess(std::vector<std::string> arguments, std::string out, std::string err,
                  bool readFails = false)
      : arguments_(std::move(arguments)),
        out_(std::move(out), readFails),
        err_(std::move(err), readFails) {}
  const std::string& launchPath() const override { return path_; }
  const std::vector<std::string>& arguments() const override { return arguments_; }
  platform::Pipe* standardOutput() override { return &out_; }
  platform::Pipe* standardError() override { return &err_; }
  int waitUntilExit() override { return 0; }

 private:
  std::string path_ = "/bin/zsh";
  std::vector<std::string> arguments_;
  ScriptedPipe out_, err_;
};

// Its child hands `reads` to the output observer one by one, then exits with
// status 0 having printed all of them.
class ScriptedLauncher final : public platform::ProcessLauncher {
 public:
  struct Read {
    platform::OutputStream stream;
    std::string_view bytes;
  };
  std::vector<Read> reads;
  bool readFails = false;

  platform::Expected<std::shared_ptr<platform::Process>> launch(platform::ProcessSpec command,
                                                                TerminationHandler) override {
    std::string out, err;
    for (const Read& read : reads) {
      command.outputObserver(read.stream, read.bytes);
      (read.stream == platform::OutputStream::standardOutput ? out : err) += read.bytes;
    }
    return std::shared_ptr<platform::Process>(
        std::make_shared<ScriptedProcess>(command.arguments, out, err, readFails));
  }
};

// The verdict is that of the whole output, however the reads cut it: at every
// position of either stream, texts and characters included, or byte by byte.
// A stream that is not UTF-8 as a whole contributes nothing.
TEST(PackageValidationVerdictTest, IsTheSameWhereverTheReadsCutTheOutput) {
  using Stream = platform::OutputStream;
  const std::string all = linesWithout(99);
  const std::size_t third = all.find("2. Developer ID");  // texts 3 to 7 after this
  struct Case {
    std::string out, err;
    R result;
  };
  const Case cases[] = {
      {all, "", R::valid},
      {"caf\xC3\xA9 " + all, "\xE2\x82\xAC", R::valid},
      {all, "\xFF", R::valid},
      {all + "\xC3", "", R::notSigned},
      {all.substr(0, third), all.substr(third), R::valid},
      {all.substr(0, third), all.substr(third) + "\xF4\x90\x80\x80",
       R::wrongCertificationAuthority},
      {"\xED\xA0\x80" + all.substr(0, third), all.substr(third), R::notSigned},
      {"Status: signed by a developer certificate issued", " by Apple for distribution",
       R::notSigned},
  };
  const auto verdict = [](const std::vector<ScriptedLauncher::Read>& reads) {
    auto launcher = std::make_shared<ScriptedLauncher>();
    launcher->reads = reads;
    PackageValidator validator(
        launcher, platform::Logger("s", "c", std::make_shared<testing::MemoryLogSink>()),
        "/usr/sbin/pkgutil --check-signature ", "/bin/zsh");
    return validator.validatePackageSignature("/tmp/package.pkg");
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out + " | " + c.err);
    const std::string_view out = c.out, err = c.err;
    for (std::size_t cut = 0; cut <= std::max(out.size(), err.size()); ++cut) {
      const std::size_t o = std::min(cut, out.size()), e = std::min(cut, err.size());
      ASSERT_EQ(verdict({{Stream::standardOutput, out.substr(0, o)},
                         {Stream::standardError, err.substr(0, e)},
                         {Stream::standardOutput, out.substr(o)},
                         {Stream::standardError, err.substr(e)}}),
                c.result)
          << "cut at " << cut;
    }
    std::vector<ScriptedLauncher::Read> bytes;
    for (std::size_t k = 0; k < out.size(); ++k)
      bytes.push_back({Stream::standardOutput, out.substr(k, 1)});
    for (std::size_t k = 0; k < err.size(); ++k)
      bytes.push_back({Stream::standardError, err.substr(k, 1)});
    EXPECT_EQ(verdict(bytes), c.result) << "byte by byte";
  }

  // Output that cannot be read is empty output, whatever was seen of it.
  auto launcher = std::make_shared<ScriptedLauncher>();
  launcher->reads = {{Stream::standardOutput, all}};
  launcher->readFails = true;
  EXPECT_EQ(PackageValidator(launcher,
                             platform::Logger("s", "c", std::make_shared<testing::MemoryLogSink>()),
                             "/usr/sbin/pkgutil --check-signature ", "/bin/zsh")
                .validatePackageSignature("/tmp/package.pkg"),
            R::emptyOutput);
}

TEST(ReadProcessOutputTest, AFailedReadIsLoggedWithTheJoinedArguments) {
  auto sink = std::make_shared<testing::MemoryLogSink>();
  ScriptedProcess process({"-c", "tool --check-signature /tmp/p.pkg"}, "", "", true);
  EXPECT_EQ(readProcessOutput(process, platform::Logger("s", "c", sink)), std::nullopt);
  EXPECT_EQ(sink->messages(),
            std::vector<std::string>{"Error executing '-c tool --check-signature /tmp/p.pkg' "
                                     "error: Input/output error"});
}

TEST(ReportTextTest, ReportedTextsDifferFromLoggedOnes) {
  EXPECT_EQ(reportText(R::emptyOutput), "pkgutil output is empty.");
  EXPECT_EQ(reportText(R::wrongDeveloperID), "The package is signed with a wrong developer ID.");
  EXPECT_EQ(reportText(R::wrongCertificationAuthority),
            "The package is signed with a wrong Certification Authority.");
  EXPECT_EQ(reportText(R::wrongRootCertificate),
            "The package is signed but the root certificate is not from Apple.");
}

}  // namespace
}  // namespace quarn::update
