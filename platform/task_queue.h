// TaskQueue and RunLoop: the main dispatch queue and the loop that serves it.
//
// A TaskQueue runs posted tasks one at a time, in order, on the thread that
// serves it. post() and postDelayed() may be called from any thread. Delays are
// measured on the monotonic clock, never on the wall clock.
//
// A RunLoop is a TaskQueue served by the thread that calls run(): the main
// thread in the agent. run() returns once quit() has been called (from any
// thread, also before run()).
#pragma once

#include <memory>

#include "platform/once_callback.h"

namespace quarn::platform {

class TaskQueue {
 public:
  using Task = OnceCallback<void()>;

  virtual ~TaskQueue() = default;
  virtual void post(Task task) = 0;
  // Runs `task` no earlier than `delaySeconds` (>= 0) from now.
  virtual void postDelayed(double delaySeconds, Task task) = 0;
  // Whether the calling thread is the one that serves this queue, for debug
  // checks of code that must run there. Any thread may ask.
  virtual bool runsTasksOnCurrentThread() const = 0;
};

class RunLoop : public TaskQueue {
 public:
  virtual void run() = 0;
  virtual void quit() = 0;
};

// The main run loop (platform/run_loop_linux.cc): a RunLoop served by the
// thread that calls run().
//
// Tasks run one at a time, ordered by due time on the monotonic clock and, at
// equal due times, by the order in which they were posted. post() and
// postDelayed() may be called from any thread, including from a running task;
// a task runs with no lock held. run() serves until quit() has been called
// (from any thread, also before run(), in which case run() returns at once);
// the tasks still waiting are then dropped with the loop. The thread that
// serves it is the one that last entered run(), and before that the thread
// that made the loop: the main thread in the agent, which starts the update
// pipeline before it enters run().
std::shared_ptr<RunLoop> makeMainRunLoop();

}  // namespace quarn::platform
