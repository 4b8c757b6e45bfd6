// The main run loop: a queue of tasks ordered by due time on the monotonic
// clock, then by posting order, served by the thread that calls run().
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/task_queue.h"

namespace quarn::platform {
namespace {

using Clock = std::chrono::steady_clock;

// Longest delay honoured as such; anything longer (or infinite) waits this
// long, which keeps the due-time arithmetic clear of overflow.
constexpr double kMaxDelaySeconds = 100.0 * 365 * 24 * 3600;

class MainRunLoop final : public RunLoop {
 public:
  void post(Task task) override { enqueue(Clock::now(), std::move(task)); }

  void postDelayed(double delaySeconds, Task task) override {
    // NaN and negative delays mean "now".
    double delay = delaySeconds > 0 ? delaySeconds : 0.0;
    if (delay > kMaxDelaySeconds) delay = kMaxDelaySeconds;
    const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(delay));
    enqueue(due, std::move(task));
  }

  bool runsTasksOnCurrentThread() const override {
    return servingThread_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

  void run() override {
    servingThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    std::unique_lock lock(mutex_);
    while (!quit_) {
      if (tasks_.empty()) {
        wakeUp_.wait(lock);
        continue;
      }
      const auto due = tasks_.begin()->first.due;
      if (due > Clock::now()) {
        wakeUp_.wait_until(lock, due);
        continue;
      }
      auto node = tasks_.extract(tasks_.begin());
      lock.unlock();
      std::move(node.mapped())();
      // The task (and what it captured) is destroyed before the lock is taken
      // again, so a destructor may post.
      node = {};
      lock.lock();
    }
  }

  void quit() override {
    std::lock_guard lock(mutex_);
    quit_ = true;
    wakeUp_.notify_all();
  }

 private:
  struct Key {
    Clock::time_point due;
    std::uint64_t sequence;
    bool operator<(const Key& other) const {
      return due != other.due ? due < other.due : sequence < other.sequence;
    }
  };

  void enqueue(Clock::time_point due, Task task) {
    std::lock_guard lock(mutex_);
    tasks_.emplace(Key{due, nextSequence_++}, std::move(task));
    wakeUp_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable wakeUp_;
  std::map<Key, Task> tasks_;
  std::uint64_t nextSequence_ = 0;
  bool quit_ = false;
  std::atomic<std::thread::id> servingThread_{std::this_thread::get_id()};
};

}  // namespace

std::shared_ptr<RunLoop> makeMainRunLoop() { return std::make_shared<MainRunLoop>(); }

}  // namespace quarn::platform
