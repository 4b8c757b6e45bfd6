// The package check over scripted package tools: the verdict and the log for
// each output, whether the tool's output arrives whole, byte by byte or in
// pieces, with its two streams taking turns.
#include "update/package_validation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_process_launcher.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::update {
namespace {

using R = PackageValidationResult;
using Child = testing::FakeProcessLauncher::Child;

const std::vector<std::string> kTexts = {
    "Status: signed by a developer certificate issued by Apple for distribution",
    "Notarization: trusted by the Apple notary service",
    "1. Developer ID Installer: Kelvane, Inc. (3RZT8QW5KD)",
    "2. Developer ID Certification Authority",
    "3. Apple Root CA",
    "B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C",
    "68 C5 BE 91 B5 A1 10 01 F0 24",
};

// The tool's output with the expected texts from `first` to before `end`,
// leaving out the one at `missing`.
std::string texts(std::size_t first = 0, std::size_t end = 7, std::size_t missing = 7) {
  std::string output;
  for (std::size_t i = first; i < end; ++i) {
    if (i != missing) output += "    " + kTexts[i] + "\n";
  }
  return output;
}

// The table relies on the scripted tool cutting its output as asked.
TEST(PackageValidationTest, TheScriptedToolCutsItsOutput) {
  testing::FakeProcessLauncher launcher;
  launcher.script("", {.out = "abc", .err = "de", .chunk = 2});
  std::string seen;
  (void)launcher.launch(
      {.launchPath = "tool",
       .arguments = {},
       .pipeStandardOutput = true,
       .pipeStandardError = true,
       .outputObserver = [&](platform::OutputStream stream, std::string_view bytes) {
         seen += (stream == platform::OutputStream::standardOutput ? "o:" : "e:") +
                 std::string(bytes) + " ";
       }});
  EXPECT_EQ(seen, "o:ab e:de o:c ");
}

TEST(PackageValidationTest, VerdictAndLogOfEachOutput) {
  const std::string valid = "Package validated successfully.";
  const std::string root = "The package is signed but the Root Certificate is not from Apple";
  const std::string failed = "Package could not be validated.";
  const std::string readError =
      "Error executing '-c /usr/sbin/pkgutil --check-signature /tmp/p.pkg' error: ";
  std::string reversed;
  for (const auto& text : kTexts) reversed = text + "\n\n" + reversed;
  struct Case {
    Child tool;
    R result;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {{.out = texts()}, R::valid, {valid}},
      {{.out = reversed}, R::valid, {valid}},
      {{.out = texts(0, 3), .err = texts(3)}, R::valid, {valid}},
      {{}, R::notSigned, {"The package is not signed."}},
      {{.out = texts(0, 7, 0)}, R::notSigned, {"The package is not signed."}},
      {{.out = texts(0, 7, 1)}, R::notNotarized, {"The package is not notarized."}},
      {{.out = texts(0, 7, 2) + "1. Developer ID Installer: Other, Inc. (ABCDE12345)\n"},
       R::wrongDeveloperID,
       {"The package is signed with another developer ID."}},
      {{.out = texts(0, 7, 3)},
       R::wrongCertificationAuthority,
       {"The package is signed but the certificate is authorized by a wrong Certification "
        "Authority"}},
      {{.out = texts(0, 7, 4)}, R::wrongRootCertificate, {root}},
      {{.out = texts(0, 7, 5)}, R::wrongRootCertificate, {root}},
      {{.out = texts(0, 7, 6) + "68 c5 be 91 b5 a1 10 01 f0 24\n"},
       R::wrongRootCertificate,
       {root}},
      // Standard output and standard error are joined by a line feed: a text
      // across that seam is not in the output.
      {{.out = texts(1) + "Status: signed by a developer certificate issued",
        .err = " by Apple for distribution"},
       R::notSigned,
       {"The package is not signed."}},
      // A stream counts only when all of it is UTF-8.
      {{.out = "caf\xC3\xA9 " + texts(), .err = "\xE2\x82\xAC"}, R::valid, {valid}},
      {{.out = texts(), .err = "\xFF"}, R::valid, {valid}},
      {{.out = texts() + "\xC3"}, R::notSigned, {"The package is not signed."}},
      {{.out = "\xED\xA0\x80" + texts(0, 3), .err = texts(3)},
       R::notSigned,
       {"The package is not signed."}},
      {{.out = texts(0, 3), .err = texts(3) + "\xF4\x90\x80\x80"},
       R::wrongCertificationAuthority,
       {"The package is signed but the certificate is authorized by a wrong Certification "
        "Authority"}},
      // Output that cannot be read is empty output; a status other than 0
      // fails whatever the output, which is logged as a private value.
      {{.out = texts(), .readFails = true}, R::emptyOutput, {readError + "Input/output error"}},
      {{.status = 1, .out = texts(), .err = "warning"},
       R::validationFailed,
       {failed, "Command output: <private> [" + texts() + "\nwarning]"}},
      {{.status = 2, .readFails = true},
       R::validationFailed,
       {failed, readError + "Input/output error"}},
      {{.launchError = platform::Error{"POSIXError", 2, "no shell"}},
       R::validationFailed,
       {failed, readError + "no shell"}},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk : {0, 1, 5}) {
      SCOPED_TRACE(c.tool.out + " | " + c.tool.err + " | in pieces of " + std::to_string(chunk));
      auto launcher = std::make_shared<testing::FakeProcessLauncher>();
      Child tool = c.tool;
      tool.chunk = chunk;
      launcher->script("", tool);
      auto sink = std::make_shared<testing::MemoryLogSink>();
      const PackageValidator validator(launcher, platform::Logger("s", "c", sink),
                                       "/usr/sbin/pkgutil --check-signature ", "/bin/zsh");

      EXPECT_EQ(validator.validatePackageSignature("/tmp/p.pkg"), c.result);
      EXPECT_EQ(sink->shown(), c.log);
      ASSERT_EQ(launcher->launches().size(), 1u);
      const platform::ProcessSpec& launch = launcher->launches()[0];
      EXPECT_EQ(launch.launchPath, "/bin/zsh");
      EXPECT_EQ(launch.arguments,
                (std::vector<std::string>{"-c", "/usr/sbin/pkgutil --check-signature /tmp/p.pkg"}));
      EXPECT_TRUE(launch.pipeStandardOutput && launch.pipeStandardError);
    }
  }
}

}  // namespace
}  // namespace quarn::update
