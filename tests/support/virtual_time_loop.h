// Virtual time for tests: VirtualTimeLoop, a RunLoop whose delays never wait
// for real, and the wall clock and random source that go with it.
//
// advance() moves the loop's clock and runs what falls due; run() jumps
// straight to the next delayed task whenever nothing is due. Tasks due at the
// same time run in the order they were posted. run() also ends when nothing is
// left to run before quit() was called, so a broken test fails instead of
// hanging.
//
// Not thread-safe: the thread that made it posts and runs everything.
#pragma once

#include <map>
#include <thread>

#include "platform/clock.h"
#include "platform/task_queue.h"

namespace quarn::testing {

class VirtualTimeLoop final : public platform::RunLoop {
 public:
  void post(Task task) override { postDelayed(0.0, std::move(task)); }
  void postDelayed(double delaySeconds, Task task) override {
    tasks_.emplace(now_ + delaySeconds, std::move(task));
  }
  bool runsTasksOnCurrentThread() const override { return thread_ == std::this_thread::get_id(); }

  // Serves the queue until quit(), moving virtual time forward as needed.
  void run() override {
    while (!quit_ && !tasks_.empty()) runFirst();
  }
  void quit() override { quit_ = true; }

  // Moves virtual time forward by `seconds`, running tasks in due order.
  void advance(double seconds) {
    const double target = now_ + seconds;
    while (!tasks_.empty() && tasks_.begin()->first <= target) runFirst();
    if (now_ < target) now_ = target;
  }

  // Seconds since the loop was made.
  double now() const { return now_; }

 private:
  // Pops the earliest task, moves the clock to its due time and runs it.
  void runFirst() {
    auto node = tasks_.extract(tasks_.begin());
    if (node.key() > now_) now_ = node.key();
    std::move(node.mapped())();
  }

  std::multimap<double, Task> tasks_;  // by due time, in the order of posting
  double now_ = 0.0;
  bool quit_ = false;
  const std::thread::id thread_ = std::this_thread::get_id();
};

// A wall clock that reads 1,765,000,000 first and a second more at each later
// reading (whole seconds, which the stored time writes with ".0").
struct FakeClock final : platform::Clock {
  double now() const override { return 1'765'000'000.0 + readings_++; }
  mutable int readings_ = 0;
};

// A random source that always draws the middle of its range, 2^63.
struct FakeRandom final : platform::Random {
  std::uint64_t next64() override { return std::uint64_t{1} << 63; }
};

}  // namespace quarn::testing
