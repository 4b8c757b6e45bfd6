// The stored text of the last check time. Reading is checked by the gate
// table of the composition; the fuzzer checks that every value written reads
// back as itself.
#include "update/last_run_text.h"

#include <gtest/gtest.h>

namespace quarn::update {
namespace {

TEST(LastRunTextTest, WritesPlainShortestDecimalWithAFraction) {
  const std::pair<double, const char*> cases[] = {
      {1765012345.0, "1765012345.0"},
      {1765012345.123456, "1765012345.123456"},
      {1e-7, "0.0000001"},
      {1e22, "10000000000000000000000.0"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(formatUpdateLastRun(value), text);
}

}  // namespace
}  // namespace quarn::update
