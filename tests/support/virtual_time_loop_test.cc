#include "tests/support/virtual_time_loop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace quarn::testing {
namespace {

using ::testing::ElementsAre;

TEST(VirtualTimeLoopTest, AdvanceRunsWhatFallsDueInDueOrder) {
  VirtualTimeLoop loop;
  std::vector<std::string> ran;
  loop.postDelayed(30, [&] { ran.push_back("30"); });
  loop.postDelayed(10, [&] {
    ran.push_back("10");
    loop.postDelayed(5, [&] { ran.push_back("10+5"); });
  });
  loop.post([&] { ran.push_back("now"); });

  loop.advance(15);
  EXPECT_THAT(ran, ElementsAre("now", "10", "10+5"));
  EXPECT_DOUBLE_EQ(loop.now(), 15);
  EXPECT_DOUBLE_EQ(loop.nextDelay(), 15);

  loop.advance(14.5);
  EXPECT_EQ(ran.size(), 3u);
  loop.advance(0.5);
  EXPECT_THAT(ran, ElementsAre("now", "10", "10+5", "30"));
  EXPECT_EQ(loop.pendingTasks(), 0u);
  EXPECT_DOUBLE_EQ(loop.nextDelay(), -1);
}

TEST(VirtualTimeLoopTest, RunJumpsOverDelaysUntilQuit) {
  VirtualTimeLoop loop;
  loop.postDelayed(900, [&] { loop.quit(); });
  loop.run();
  EXPECT_DOUBLE_EQ(loop.now(), 900);
  EXPECT_FALSE(loop.timedOut());
  EXPECT_EQ(loop.runCount(), 1);
}

TEST(VirtualTimeLoopTest, RunWaitsForPostsFromOtherThreads) {
  VirtualTimeLoop loop;
  std::thread poster;
  loop.post([&] { poster = std::thread([&] { loop.post([&] { loop.quit(); }); }); });
  loop.run();
  poster.join();
  EXPECT_TRUE(loop.quitRequested());
  EXPECT_FALSE(loop.timedOut());
}

TEST(VirtualTimeLoopTest, IdleRunGivesUpAfterTheRealIdleLimit) {
  VirtualTimeLoop loop(std::chrono::milliseconds(1));
  loop.run();
  EXPECT_TRUE(loop.timedOut());
}

}  // namespace
}  // namespace quarn::testing
