// The main run loop: due times, posting order, and posts from other threads.
#include <gmock/gmock.h>

#include <chrono>
#include <limits>
#include <thread>

#include "platform/task_queue.h"

namespace quarn::platform {
namespace {

// Tasks run by due time (never before it), then posting order; delays that
// are negative or not a number mean now, delays beyond what the clock holds
// mean never. A task may post, and so may the destruction of what it captured,
// which the loop does without its lock held. Another thread's post wakes the
// loop while it waits for a task that is not due; only the thread that runs
// the loop is told it runs the tasks.
TEST(MainRunLoopTest, RunsTasksByDueTimeThenPostingOrder) {
  auto loop = makeMainRunLoop();
  std::vector<std::string> trace;
  const auto add = [&](const char* step) { return [&trace, step] { trace.push_back(step); }; };
  std::shared_ptr<void> postsOnDestruction(nullptr, [&](void*) { loop->post(add("destructor")); });
  const auto start = std::chrono::steady_clock::now();
  std::jthread other;  // joined before the loop goes
  loop->postDelayed(0.03, [&] {
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_TRUE(loop->runsTasksOnCurrentThread());
    other = std::jthread([&] {
      EXPECT_FALSE(loop->runsTasksOnCurrentThread());
      loop->post([&] { loop->quit(); });
    });
  });
  loop->postDelayed(0.02, add("20ms-first"));
  loop->post([&, capture = std::move(postsOnDestruction)] { loop->post(add("posted")); });
  loop->postDelayed(-5, add("negative"));
  loop->postDelayed(std::numeric_limits<double>::quiet_NaN(), add("nan"));
  loop->postDelayed(0.02, add("20ms-second"));
  loop->postDelayed(std::numeric_limits<double>::infinity(), add("never"));
  loop->run();
  EXPECT_THAT(trace, ::testing::ElementsAre("negative", "nan", "posted", "destructor", "20ms-first",
                                            "20ms-second"));
}

}  // namespace
}  // namespace quarn::platform
