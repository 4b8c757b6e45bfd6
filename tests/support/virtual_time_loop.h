// Virtual time for tests: VirtualTimeLoop, a RunLoop whose delays never wait
// for real, and the wall clock and random source that go with it.
//
// advance() moves the loop's clock and runs what falls due; run() jumps
// straight to the next delayed task whenever nothing is due. Other threads
// (the URL session's) may post at any time; run() waits for them, in real
// time, when the queue is empty, but at most 20 seconds, after which it
// gives up and timedOut() reports it, so a broken test fails instead of
// hanging. Tasks due at the same time run in the order they were posted. Like
// the main run loop, it is served by the thread that made it until another
// thread calls run() or advance().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

#include "platform/clock.h"
#include "platform/task_queue.h"

namespace quarn::testing {

class VirtualTimeLoop final : public platform::RunLoop {
 public:
  void post(Task task) override { postDelayed(0.0, std::move(task)); }
  void postDelayed(double delaySeconds, Task task) override {
    std::lock_guard lock(mutex_);
    tasks_.emplace(now_ + delaySeconds, std::move(task));
    wakeUp_.notify_all();
  }

  bool runsTasksOnCurrentThread() const override {
    return locked([&] { return servingThread_ == std::this_thread::get_id(); });
  }

  // Serves the queue until quit(), moving virtual time forward as needed.
  void run() override {
    std::unique_lock lock(mutex_);
    servingThread_ = std::this_thread::get_id();
    while (!quit_ && !timedOut_) {
      if (!tasks_.empty()) {
        runFirst(lock);
      } else {
        timedOut_ =
            !wakeUp_.wait_for(lock, realIdleLimit_, [&] { return quit_ || !tasks_.empty(); });
      }
    }
  }
  void quit() override {
    std::lock_guard lock(mutex_);
    quit_ = true;
    wakeUp_.notify_all();
  }

  // Moves virtual time forward by `seconds`, running tasks in due order.
  void advance(double seconds) {
    std::unique_lock lock(mutex_);
    servingThread_ = std::this_thread::get_id();
    const double target = now_ + seconds;
    while (!tasks_.empty() && tasks_.begin()->first <= target) runFirst(lock);
    if (now_ < target) now_ = target;
  }

  // Seconds since the loop was made.
  double now() const {
    return locked([&] { return now_; });
  }
  std::size_t pendingTasks() const {
    return locked([&] { return tasks_.size(); });
  }
  // Due time of the earliest pending task, relative to now; -1 when none.
  double nextDelay() const {
    return locked([&] { return tasks_.empty() ? -1.0 : tasks_.begin()->first - now_; });
  }
  bool timedOut() const {
    return locked([&] { return timedOut_; });
  }

 private:
  template <class Read>
  std::invoke_result_t<Read> locked(Read read) const {
    std::lock_guard lock(mutex_);
    return read();
  }

  // Pops the earliest task, moves the clock to its due time and runs it with
  // the lock released.
  void runFirst(std::unique_lock<std::mutex>& lock) {
    auto node = tasks_.extract(tasks_.begin());
    if (node.key() > now_) now_ = node.key();
    lock.unlock();
    std::move(node.mapped())();
    lock.lock();
  }

  const std::chrono::seconds realIdleLimit_{20};
  mutable std::mutex mutex_;
  std::condition_variable wakeUp_;
  std::multimap<double, Task> tasks_;  // by due time, in the order of posting
  double now_ = 0.0;
  bool quit_ = false;
  bool timedOut_ = false;
  std::thread::id servingThread_ = std::this_thread::get_id();
};

// A wall clock that stands still.
struct FakeClock final : platform::Clock {
  double now() const override { return 1'765'000'000.0; }
};

// A random source that always draws the largest value.
struct FakeRandom final : platform::Random {
  std::uint64_t next64() override { return ~std::uint64_t{0}; }
};

}  // namespace quarn::testing
