#include "update/last_run_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>

namespace quarn::update {
namespace {

TEST(LastRunTextTest, WritesPlainShortestDecimalWithAFraction) {
  EXPECT_EQ(formatUpdateLastRun(1765012345.0), "1765012345.0");
  EXPECT_EQ(formatUpdateLastRun(1765012345.25), "1765012345.25");
  EXPECT_EQ(formatUpdateLastRun(1765012345.123456), "1765012345.123456");
  EXPECT_EQ(formatUpdateLastRun(0.0), "0.0");
  EXPECT_EQ(formatUpdateLastRun(0.1), "0.1");
  EXPECT_EQ(formatUpdateLastRun(1e-7), "0.0000001");
  EXPECT_EQ(formatUpdateLastRun(1e22), "10000000000000000000000.0");
}

TEST(LastRunTextTest, EveryFiniteDoubleRoundTripsWithoutExponent) {
  std::mt19937_64 generator(20261206);
  for (int i = 0; i < 20000; ++i) {
    // Half plausible clock readings, half arbitrary bit patterns.
    const double value = i % 2 == 0 ? std::uniform_real_distribution<double>(0.0, 4e9)(generator)
                                    : std::bit_cast<double>(generator());
    if (!std::isfinite(value)) continue;
    const std::string text = formatUpdateLastRun(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_NE(text.find('.'), std::string::npos) << text;
    ASSERT_FALSE(text.ends_with('.')) << text;
    const auto back = parseUpdateLastRun(text);
    ASSERT_TRUE(back.has_value()) << text;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(*back), std::bit_cast<std::uint64_t>(value)) << text;
  }
}

}  // namespace
}  // namespace quarn::update
