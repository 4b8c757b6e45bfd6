#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/task_queue.h"

namespace quarn::platform {
namespace {

using ::testing::ElementsAre;

// Tasks run by due time (never before it), then posting order; delays that
// are negative or not a number mean now, delays beyond what the clock holds
// mean never. A task may post, and so may the destruction of what it captured,
// which the loop does without its lock held.
TEST(MainRunLoopTest, RunsTasksByDueTimeThenPostingOrder) {
  auto loop = makeMainRunLoop();
  std::vector<std::string> trace;
  const auto add = [&](const char* step) { return [&trace, step] { trace.push_back(step); }; };
  std::shared_ptr<void> postsOnDestruction(nullptr, [&](void*) { loop->post(add("destructor")); });
  const auto start = std::chrono::steady_clock::now();
  loop->postDelayed(0.375, [&] {
    trace.push_back("375ms");
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
              0.375);
    loop->quit();
  });
  loop->postDelayed(0.125, add("125ms"));
  loop->postDelayed(0.25, add("250ms-first"));
  loop->post([&, capture = std::move(postsOnDestruction)] {
    trace.push_back("now");
    loop->post(add("posted by a task"));
  });
  loop->postDelayed(-5, add("negative"));
  loop->postDelayed(std::numeric_limits<double>::quiet_NaN(), add("nan"));
  loop->postDelayed(0.25, add("250ms-second"));
  loop->postDelayed(std::numeric_limits<double>::infinity(), add("never"));
  loop->postDelayed(1e300, add("never"));
  loop->run();
  EXPECT_THAT(trace, ElementsAre("now", "negative", "nan", "posted by a task", "destructor",
                                 "125ms", "250ms-first", "250ms-second", "375ms"));

  // Quit before run: run returns at once, the waiting task never runs.
  auto stopped = makeMainRunLoop();
  stopped->post(add("never"));
  stopped->quit();
  stopped->run();
  EXPECT_EQ(trace.size(), 9u);
}

// Threads post while the loop runs, often to an empty queue; each task runs
// once, each thread's in its order; quit from another thread wakes the loop.
// The loop is served by the thread that made it until another enters run();
// only the serving thread is told it runs the tasks.
TEST(MainRunLoopTest, ServesPostsAndQuitFromOtherThreads) {
  constexpr int kThreads = 4;
  constexpr int kTasksPerThread = 500;
  auto loop = makeMainRunLoop();
  EXPECT_TRUE(loop->runsTasksOnCurrentThread());
  std::vector<int> next(kThreads, 0);  // touched only by the loop's thread
  int remaining = kThreads * kTasksPerThread;
  std::vector<std::thread> threads;
  std::thread quitter;
  loop->post([&] {
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        EXPECT_FALSE(loop->runsTasksOnCurrentThread());
        for (int i = 0; i < kTasksPerThread; ++i) {
          loop->post([&, t, i] {
            EXPECT_TRUE(loop->runsTasksOnCurrentThread());
            EXPECT_EQ(next[t]++, i);
            if (--remaining == 0) quitter = std::thread([&] { loop->quit(); });
          });
        }
      });
    }
  });
  std::thread([&] { loop->run(); }).join();
  EXPECT_FALSE(loop->runsTasksOnCurrentThread());
  for (auto& thread : threads) thread.join();
  quitter.join();
  EXPECT_EQ(next, std::vector<int>(kThreads, kTasksPerThread));
}

}  // namespace
}  // namespace quarn::platform
