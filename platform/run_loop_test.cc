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
  loop->postDelayed(0.03, [&] {
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    loop->quit();
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

// Threads post while the loop runs, often to an empty queue; each task runs
// once, each thread's in its order; quit from another thread wakes the loop.
// The loop is served by the thread that made it until another enters run();
// only the serving thread is told it runs the tasks.
TEST(MainRunLoopTest, ServesPostsAndQuitFromOtherThreads) {
  constexpr int kThreads = 4, kTasksPerThread = 500;
  auto loop = makeMainRunLoop();
  EXPECT_TRUE(loop->runsTasksOnCurrentThread());
  std::vector<int> next(kThreads, 0);  // touched only by the loop's thread
  int remaining = kThreads * kTasksPerThread;
  std::thread quitter, server([&] { loop->run(); });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTasksPerThread; ++i) {
        loop->post([&, t, i] {
          EXPECT_TRUE(loop->runsTasksOnCurrentThread());
          EXPECT_EQ(next[t]++, i);
          if (--remaining == 0) quitter = std::thread([&] { loop->quit(); });
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  server.join();
  quitter.join();
  EXPECT_FALSE(loop->runsTasksOnCurrentThread());
  EXPECT_EQ(next, std::vector<int>(kThreads, kTasksPerThread));
}

}  // namespace
}  // namespace quarn::platform
