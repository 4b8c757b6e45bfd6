#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/run_loop_linux.h"

namespace quarn::platform {
namespace {

using ::testing::ElementsAre;

// Collects the order in which tasks ran; tasks may run on other threads in
// some tests, so it locks.
class Trace {
 public:
  void add(std::string step) {
    std::lock_guard lock(mutex_);
    steps_.push_back(std::move(step));
  }
  std::vector<std::string> steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> steps_;
};

TEST(MainRunLoopTest, RunsPostedTasksInOrderUntilQuit) {
  auto loop = makeMainRunLoop();
  Trace trace;
  loop->post([&] { trace.add("a"); });
  loop->post([&] {
    trace.add("b");
    // Posted from a running task: runs after those already queued.
    loop->post([&] {
      trace.add("d");
      loop->quit();
    });
  });
  loop->post([&] { trace.add("c"); });
  loop->run();
  EXPECT_THAT(trace.steps(), ElementsAre("a", "b", "c", "d"));
}

TEST(MainRunLoopTest, DelayedTasksRunByDueTimeThenPostingOrder) {
  auto loop = makeMainRunLoop();
  Trace trace;
  loop->postDelayed(0.03, [&] {
    trace.add("30ms");
    loop->quit();
  });
  loop->postDelayed(0.01, [&] { trace.add("10ms"); });
  loop->postDelayed(0.02, [&] { trace.add("20ms-first"); });
  loop->post([&] { trace.add("now"); });
  loop->postDelayed(0.0, [&] { trace.add("zero"); });
  loop->postDelayed(-5, [&] { trace.add("negative"); });
  loop->postDelayed(std::numeric_limits<double>::quiet_NaN(), [&] { trace.add("nan"); });
  // Due no earlier than "20ms-first", so after it.
  loop->postDelayed(0.02, [&] { trace.add("20ms-second"); });
  loop->run();
  EXPECT_THAT(trace.steps(), ElementsAre("now", "zero", "negative", "nan", "10ms", "20ms-first",
                                         "20ms-second", "30ms"));
}

TEST(MainRunLoopTest, QuitBeforeRunReturnsAtOnceAndLeavesTasksUnrun) {
  auto loop = makeMainRunLoop();
  bool ran = false;
  loop->post([&] { ran = true; });
  loop->quit();
  loop->run();
  EXPECT_FALSE(ran);
}

TEST(MainRunLoopTest, TaskPostedFromAnotherThreadWakesTheIdleLoop) {
  auto loop = makeMainRunLoop();
  std::thread poster;
  Trace trace;
  // Once the loop runs, another thread posts while the queue is empty (or
  // about to be): run() must wake up for it.
  loop->post([&] {
    trace.add("first");
    poster = std::thread([&] {
      loop->post([&] {
        trace.add("from other thread");
        loop->quit();
      });
    });
  });
  loop->run();
  poster.join();
  EXPECT_THAT(trace.steps(), ElementsAre("first", "from other thread"));
}

TEST(MainRunLoopTest, QuitFromAnotherThreadEndsRunWhileADelayedTaskWaits) {
  auto loop = makeMainRunLoop();
  bool lateRan = false;
  loop->postDelayed(std::numeric_limits<double>::infinity(), [&] { lateRan = true; });
  loop->postDelayed(1e300, [&] { lateRan = true; });
  std::thread quitter;
  loop->post([&] { quitter = std::thread([&] { loop->quit(); }); });
  loop->run();
  quitter.join();
  EXPECT_FALSE(lateRan);
}

TEST(MainRunLoopTest, PostsFromManyThreadsEachRunOnceInTheirThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kTasksPerThread = 500;
  auto loop = makeMainRunLoop();
  std::vector<std::vector<int>> seen(kThreads);  // touched only by the loop's thread
  int remaining = kThreads * kTasksPerThread;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kTasksPerThread; ++i) {
        loop->post([&, t, i] {
          seen[t].push_back(i);
          if (--remaining == 0) loop->quit();
        });
      }
    });
  }
  loop->run();
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(seen[t].size(), static_cast<size_t>(kTasksPerThread));
    for (int i = 0; i < kTasksPerThread; ++i) EXPECT_EQ(seen[t][i], i);
  }
}

TEST(MainRunLoopTest, TaskDestructorMayPost) {
  auto loop = makeMainRunLoop();
  Trace trace;
  // A capture whose destructor posts: the loop must not hold its lock when
  // it destroys a task that ran.
  struct PostsOnDestruction {
    RunLoop* loop;
    Trace* trace;
    ~PostsOnDestruction() {
      if (loop == nullptr) return;
      loop->post([loop = loop, trace = trace] {
        trace->add("posted by destructor");
        loop->quit();
      });
    }
  };
  auto guard = std::make_shared<PostsOnDestruction>(loop.get(), &trace);
  loop->post([guard = std::move(guard), &trace] { trace.add("task"); });
  loop->run();
  EXPECT_THAT(trace.steps(), ElementsAre("task", "posted by destructor"));
}

}  // namespace
}  // namespace quarn::platform
