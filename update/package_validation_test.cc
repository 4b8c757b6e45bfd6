// How the package check reads the tool's output: the verdict for outputs that
// arrive whole, byte by byte or in pieces, with the two streams taking turns.
// What each verdict logs and reports is checked by the composition's table.
#include "update/package_validation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_process_launcher.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::update {
namespace {

using R = PackageValidationResult;

// The tool's output for a signed package, from the text at `first` to
// before the one at `end`.
std::string signedOutput(std::size_t first = 0, std::size_t end = 7) {
  const std::string texts[] = {
      "Status: signed by a developer certificate issued by Apple for distribution",
      "Notarization: trusted by the Apple notary service",
      "1. Developer ID Installer: Kelvane, Inc. (3RZT8QW5KD)",
      "2. Developer ID Certification Authority",
      "3. Apple Root CA",
      "B0 B1 73 0E CB C7 FF 45 05 14 2C 49 F1 29 5E 6E DA 6B CA ED 7E 2C",
      "68 C5 BE 91 B5 A1 10 01 F0 24",
  };
  std::string output;
  for (std::size_t i = first; i < end; ++i) output += "    " + texts[i] + "\n";
  return output;
}

TEST(PackageValidationTest, VerdictOfEachOutput) {
  struct Case {
    std::string out, err;
    R result;
  };
  const Case cases[] = {
      {signedOutput(), "", R::valid},
      {signedOutput(0, 3), signedOutput(3), R::valid},
      // The streams are joined by a line feed: a text across that seam is not
      // in the output.
      {signedOutput(1) + "Status: signed by a developer certificate issued",
       " by Apple for distribution", R::notSigned},
      // A stream counts only when all of it is UTF-8.
      {"caf\xC3\xA9 " + signedOutput(), "\xE2\x82\xAC", R::valid},
      {signedOutput(), "\xFF", R::valid},
      {signedOutput() + "\xC3", "", R::notSigned},
      {"\xED\xA0\x80" + signedOutput(0, 3), signedOutput(3), R::notSigned},
      {signedOutput(0, 3), signedOutput(3) + "\xF4\x90\x80\x80", R::wrongCertificationAuthority},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk : {0, 1, 5}) {
      SCOPED_TRACE(c.out + " | " + c.err + " | in pieces of " + std::to_string(chunk));
      auto launcher = std::make_shared<testing::FakeProcessLauncher>();
      launcher->script("", {.out = c.out, .err = c.err, .chunk = chunk});
      const PackageValidator validator(
          launcher, platform::Logger("s", "c", std::make_shared<testing::MemoryLogSink>()),
          "pkgutil ", "sh");
      EXPECT_EQ(validator.validatePackageSignature("p.pkg"), c.result);
    }
  }
}

}  // namespace
}  // namespace quarn::update
