// The main run loop: a RunLoop served by the thread that calls run().
//
// Tasks run one at a time, ordered by due time on the monotonic clock and, at
// equal due times, by the order in which they were posted. post() and
// postDelayed() may be called from any thread, including from a running task;
// a task runs with no lock held. run() serves until quit() has been called
// (from any thread, also before run(), in which case run() returns at once);
// the tasks still waiting are then dropped with the loop.
#pragma once

#include <memory>

#include "platform/task_queue.h"

namespace quarn::platform {

std::shared_ptr<RunLoop> makeMainRunLoop();

}  // namespace quarn::platform
