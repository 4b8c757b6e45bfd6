// ThreadTaskQueue: a run loop served by a thread of its own, for tests that
// need work to arrive on another thread than theirs, as the URL session's
// completions do.
//
// `loop` is the platform's run loop; its thread serves it from construction
// until destruction, which quits the loop and joins the thread, so it must
// not happen on that thread. Tasks still waiting are dropped with the loop.
// Any thread may post.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "platform/task_queue.h"

namespace quarn::testing {

struct ThreadTaskQueue {
  ~ThreadTaskQueue() {
    loop->quit();
    thread.join();
  }
  // Waits, at most 10 s, until the tasks posted before have run and been
  // destroyed; false if they have not.
  bool drain() {
    const auto done = std::make_shared<std::promise<void>>();
    loop->post([done] { done->set_value(); });
    return done->get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  }

  const std::shared_ptr<platform::RunLoop> loop = platform::makeMainRunLoop();
  std::thread thread{[loop = loop] { loop->run(); }};
};

}  // namespace quarn::testing
