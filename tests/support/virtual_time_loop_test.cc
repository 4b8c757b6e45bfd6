#include "tests/support/virtual_time_loop.h"

#include <gtest/gtest.h>

#include <string>

namespace quarn::testing {
namespace {

// What a test of delays would silently get wrong: tasks posted while time
// advances that fall due before its end, and a run that gave up.
TEST(VirtualTimeLoopTest, RunsWhatFallsDueAndReportsAGiveUp) {
  VirtualTimeLoop loop(std::chrono::milliseconds(1));
  std::string ran;
  loop.postDelayed(10, [&] {
    ran += "10 ";
    loop.postDelayed(5, [&] { ran += "10+5 "; });
    loop.postDelayed(6, [&] { ran += "10+6 "; });
  });
  loop.advance(15);
  EXPECT_EQ(ran + std::to_string(loop.nextDelay()), "10 10+5 1.000000");
  loop.run();
  EXPECT_TRUE(loop.timedOut());
}

}  // namespace
}  // namespace quarn::testing
