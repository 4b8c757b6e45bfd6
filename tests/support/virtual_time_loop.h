// VirtualTimeLoop: a RunLoop on virtual time, for tests.
//
// Delays never wait for real: advance() moves the clock and runs what falls
// due, and run() jumps straight to the next delayed task whenever nothing is
// due. Other threads (the URL session's) may post at any time; run() waits for
// them, in real time, when the queue is empty, but at most `realIdleLimit`,
// after which it gives up and timedOut() reports it, so a broken test fails
// instead of hanging. Like the main run loop, it is served by the thread that
// made it until another thread calls run() or advance().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/task_queue.h"

namespace quarn::testing {

class VirtualTimeLoop final : public platform::RunLoop {
 public:
  explicit VirtualTimeLoop(std::chrono::milliseconds realIdleLimit = std::chrono::seconds(20))
      : realIdleLimit_(realIdleLimit) {}

  void post(Task task) override { postDelayed(0.0, std::move(task)); }

  void postDelayed(double delaySeconds, Task task) override {
    std::lock_guard lock(mutex_);
    tasks_.emplace(Key{now_ + delaySeconds, nextSequence_++}, std::move(task));
    wakeUp_.notify_all();
  }

  bool runsTasksOnCurrentThread() const override {
    std::lock_guard lock(mutex_);
    return servingThread_ == std::this_thread::get_id();
  }

  // Serves the queue until quit(), moving virtual time forward as needed.
  void run() override {
    std::unique_lock lock(mutex_);
    servingThread_ = std::this_thread::get_id();
    ++runCount_;
    while (!quit_) {
      if (tasks_.empty()) {
        if (!wakeUp_.wait_for(lock, realIdleLimit_, [&] { return quit_ || !tasks_.empty(); })) {
          timedOut_ = true;
          return;
        }
        continue;
      }
      runFirst(lock);
    }
  }

  void quit() override {
    std::lock_guard lock(mutex_);
    quit_ = true;
    wakeUp_.notify_all();
  }

  // Runs every task due at the current virtual time, including those they post.
  void runUntilIdle() { advance(0.0); }

  // Moves virtual time forward by `seconds`, running tasks in due order.
  void advance(double seconds) {
    std::unique_lock lock(mutex_);
    servingThread_ = std::this_thread::get_id();
    const double target = now_ + seconds;
    while (!tasks_.empty() && tasks_.begin()->first.due <= target) runFirst(lock);
    if (now_ < target) now_ = target;
  }

  double now() const {
    std::lock_guard lock(mutex_);
    return now_;
  }
  std::size_t pendingTasks() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
  }
  // Due time of the earliest pending task, relative to now; -1 when none.
  double nextDelay() const {
    std::lock_guard lock(mutex_);
    return tasks_.empty() ? -1.0 : tasks_.begin()->first.due - now_;
  }
  bool quitRequested() const {
    std::lock_guard lock(mutex_);
    return quit_;
  }
  int runCount() const {
    std::lock_guard lock(mutex_);
    return runCount_;
  }
  bool timedOut() const {
    std::lock_guard lock(mutex_);
    return timedOut_;
  }

 private:
  struct Key {
    double due;
    std::uint64_t sequence;
    bool operator<(const Key& other) const {
      return due != other.due ? due < other.due : sequence < other.sequence;
    }
  };

  // Pops the earliest task, moves the clock to its due time and runs it with
  // the lock released.
  void runFirst(std::unique_lock<std::mutex>& lock) {
    auto node = tasks_.extract(tasks_.begin());
    if (node.key().due > now_) now_ = node.key().due;
    lock.unlock();
    std::move(node.mapped())();
    lock.lock();
  }

  const std::chrono::milliseconds realIdleLimit_;
  mutable std::mutex mutex_;
  std::condition_variable wakeUp_;
  std::multimap<Key, Task> tasks_;
  std::uint64_t nextSequence_ = 0;
  double now_ = 0.0;
  bool quit_ = false;
  bool timedOut_ = false;
  int runCount_ = 0;
  std::thread::id servingThread_ = std::this_thread::get_id();
};

}  // namespace quarn::testing
